// The driver's setup dialog: the station tree and board settings pages in a tab sheet, and the
// buttons that add, edit, delete and save.
#pragma once

#include <QDialog>
#include <functional>

#include "setup/commportpage.h"
#include "setup/stationpage.h"

class CQuorixDoc;
class CStationInfo;
class CCommBlock;
class CTabSheet;
class QPushButton;

// Runs a sub-dialog modally and gives back its result (QDialog::Accepted for OK). The default
// is exec(); tests put in one that fills the controls and presses the buttons.
using CModalRunner = std::function<int(QDialog& dialog)>;

class CSetupDlg : public QDialog {
public:
    enum { IDD = 9001 };
    enum : int {
        IDC_TAB = 9006,
        IDC_EDIT = 9007,
        IDC_DELETE = 9008,
        IDC_ADD_STATION = 9009,
        IDC_ADD_BLOCK = 9010,
        IDC_SAVE = 9011,
        IDC_CLOSE = 2,
    };

    explicit CSetupDlg(CQuorixDoc* doc, QWidget* parent = nullptr);
    ~CSetupDlg() override;

    CQuorixDoc* GetDocument() const { return m_pDoc; }
    int IsSaved() const { return m_nSaved; }
    int IsModified() const { return m_nModified; }
    void SetModalRunner(CModalRunner runner) { m_runModal = std::move(runner); }

    // The button-clicked command of a control id (buttons and the tree's double-click).
    void OnCommand(int id);
    void OnEdit();
    void OnDelete();
    void OnAddStation();
    void OnAddBlock();
    void OnSave();
    // Close: asks 2709 when something changed, then ends the dialog (Esc and the close box too).
    void reject() override;

    CStationPage& StationPage() { return m_stationPage; }
    CCommPortPage& CommPortPage() { return m_commPortPage; }
    CTabSheet& TabSheet() { return *m_pTabSheet; }

    // Switched on and off by the pages.
    QPushButton* m_pBtnEdit = nullptr;
    QPushButton* m_pBtnAddStation = nullptr;
    QPushButton* m_pBtnAddBlock = nullptr;
    QPushButton* m_pBtnDelete = nullptr;

private:
    void StationProc(CStationInfo* station);
    void BlockProc(CStationInfo* station, CCommBlock* block);
    int RunModal(QDialog& dialog);

    int m_nModified = 0;
    CQuorixDoc* m_pDoc;
    int m_nSaved = 0;
    CTabSheet* m_pTabSheet = nullptr;
    CStationPage m_stationPage;
    CCommPortPage m_commPortPage;
    CModalRunner m_runModal;
};
