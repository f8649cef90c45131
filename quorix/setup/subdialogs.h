// The station dialog and the block dialog: one record's values, checked when "등 록" is pressed.
// They never write a record; the setup dialog copies their results after OK.
#pragma once

#include <QDialog>
#include <cstdint>
#include <string>

class CQuorixDoc;
class CStationInfo;
class CCommBlock;
class CSpinButtonCtrl;
class CFloatSpinCtrl;
class QComboBox;
class QLineEdit;
class QPushButton;

// What the two dialogs share: the OK and cancel buttons and the data exchange failures.
class CRecordDialog : public QDialog {
public:
    explicit CRecordDialog(QWidget* parent);
    // "등 록": validates and closes with OK only when the values are acceptable.
    virtual void OnOK() = 0;
    QPushButton* OkButton() const { return m_pOk; }
    QPushButton* CancelButton() const { return m_pCancel; }

protected:
    void AddButtons(int okX, int okY, int cancelX, int cancelY);
    // Shows a prompt of the framework's data exchange and moves the focus to the edit.
    static void FailPrompt(unsigned id, const std::string& text, QLineEdit* edit);
    // An error box of the module's table, then the focus to the edit (its text selected).
    static void FailError(int code, QLineEdit* edit);
    // The framework's integer exchange: whole decimal integer within low..high.
    static bool ExchangeInt(QLineEdit* edit, int low, int high, std::int32_t& value);

    QPushButton* m_pOk = nullptr;
    QPushButton* m_pCancel = nullptr;
};

class CStationDlg : public CRecordDialog {
public:
    enum {
        IDD = 9004,
        IDC_NAME = 9023,
        IDC_CPU = 9024,
        IDC_NUMBER = 9025,
        IDC_NUMBER_SPIN = 9026,
        IDC_DESC = 9027,
    };

    CStationDlg(QWidget* parent, CQuorixDoc* doc, CStationInfo* station);
    void OnOK() override;

    QLineEdit* m_pEditNo;
    QLineEdit* m_pEditName;
    CSpinButtonCtrl* m_pSpin;
    // Results after OK (texts in CP949).
    std::int32_t m_nCpuType = 0;
    std::string m_strDesc;
    std::string m_strName;
    std::int32_t m_nStationNo = 0;

    QComboBox* CpuList() const { return m_pCpuList; }
    QLineEdit* DescEdit() const { return m_pEditDesc; }

private:
    bool UpdateData(bool saveAndValidate);

    QWidget* m_pParent;
    CQuorixDoc* m_pDoc;
    CStationInfo* m_pStation;
    QComboBox* m_pCpuList;
    QLineEdit* m_pEditDesc;
};

class CCommBlockDlg : public CRecordDialog {
public:
    enum {
        IDD = 9005,
        IDC_ADDRESS = 9028,
        IDC_WORDS = 9029,
        IDC_WORDS_SPIN = 9030,
        IDC_PERIOD = 9031,
        IDC_PERIOD_SPIN = 9032,
    };

    CCommBlockDlg(QWidget* parent, CQuorixDoc* doc, CStationInfo* station, CCommBlock* block);
    void OnOK() override;
    // The period to store, in ms: seconds * 1000 computed in double and truncated (0.7 s gives
    // 699 ms). A block whose period field was left as shown keeps its stored milliseconds, so
    // that confirming an unchanged 700 ms block does not turn it into 699 ms.
    std::int32_t PeriodMs() const;

    QLineEdit* m_pEditWords;
    QLineEdit* m_pEditAddress;
    CSpinButtonCtrl* m_pSpin;
    CFloatSpinCtrl* m_pFloatSpin;
    // Results after OK (address in CP949, normalised).
    std::string m_strAddress;
    float m_fPeriod = 1.0f;
    std::int32_t m_nWordCount = 32;
    std::int32_t m_nDevice = 0;
    std::int32_t m_nStartWord = 0;
    std::int32_t m_nAreaCode = 0;

    QLineEdit* PeriodEdit() const { return m_pEditPeriod; }

private:
    bool UpdateData(bool saveAndValidate);

    QWidget* m_pParent;
    CQuorixDoc* m_pDoc;
    CStationInfo* m_pStation;
    CCommBlock* m_pBlock;
    QLineEdit* m_pEditPeriod;
    float m_fShownPeriod = 1.0f;
};
