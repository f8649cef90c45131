// The host's user-interface pieces that driver setup dialogs build on: property pages in a tab
// sheet, up-down controls for integer and floating-point edits, and the GUI form of the
// framework's message and error boxes.
#pragma once

#include <QLineEdit>
#include <QTabWidget>
#include <QWidget>

class QToolButton;

// A page of a tab sheet. Its controls are made by OnInitDialog, once, when the sheet adds it;
// OnShowWindow follows the page's show and hide events.
class CPropertyPage : public QWidget {
public:
    explicit CPropertyPage(const QString& caption, QWidget* parent = nullptr);
    bool IsCreated() const { return m_bCreated; }
    void Create();

protected:
    virtual void OnInitDialog() {}
    virtual void OnShowWindow(bool show) {}
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    bool m_bCreated = false;
};

// Shows one page at a time; each tab is labelled with its page's caption (window title).
class CTabSheet : public QTabWidget {
public:
    explicit CTabSheet(QWidget* parent = nullptr);
    ~CTabSheet() override;
    // Creates the page (if not yet) and appends its tab. The sheet takes the page as a child
    // but the page's owner keeps ownership: it must outlive the sheet or be removed first.
    void AddPage(CPropertyPage* page);
    void SetActivePage(int index);
    int GetPageCount() const { return count(); }
    CPropertyPage* GetPage(int index) const;
};

// An up-down control attached to an edit (its buddy): the arrows and the Up/Down keys in the
// buddy step the buddy's integer value within the range.
class CSpinButtonCtrl : public QWidget {
public:
    explicit CSpinButtonCtrl(QWidget* parent = nullptr);
    // Sits at the buddy's right edge, inside its former rectangle, as the platform's
    // right-aligned up-down does; the buddy gets narrower by the control's width.
    void SetBuddy(QLineEdit* buddy);
    QLineEdit* GetBuddy() const { return m_pBuddy; }
    void SetRange(int low, int high);
    int GetLow() const { return m_nLow; }
    int GetHigh() const { return m_nHigh; }
    // One step up (+1) or down (-1), as an arrow click does.
    virtual void Step(int direction);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    QToolButton* m_pUp;
    QToolButton* m_pDown;
    QLineEdit* m_pBuddy = nullptr;

private:
    int m_nLow = 0;
    int m_nHigh = 100;
};

// The floating-point form: steps the buddy's number by a decimal increment.
class CFloatSpinCtrl : public CSpinButtonCtrl {
public:
    explicit CFloatSpinCtrl(QWidget* parent = nullptr);
    void SetRange(double low, double high);
    // With `integer` nonzero the result of a step is rounded to a whole multiple of the step,
    // so that repeated steps of 0.1 give 0.3 and not 0.30000001.
    void SetDeltaInc(double step, int integer);
    double GetLow() const { return m_dLow; }
    double GetHigh() const { return m_dHigh; }
    double GetStep() const { return m_dStep; }
    void Step(int direction) override;

private:
    double m_dLow = 0.0;
    double m_dHigh = 100.0;
    double m_dStep = 1.0;
    int m_nInteger = 0;
};

// Installs the GUI box handler: while a QApplication exists, message and error boxes of the
// framework's seam become modal QMessageBox windows (texts converted from CP949); without one
// they go to stderr. Returns true if this call installed it; false if a handler (another one,
// or this one installed earlier) was already in place, which then stays.
bool TarvoInstallGuiBoxes();
// Removes the GUI handler again if it is the one installed.
void TarvoRemoveGuiBoxes();
