// The board settings page: the board's I/O port and memory window, and the board test.
#pragma once

#include <cstdint>

#include "tarvosub/ui.h"

class CSetupDlg;
class CCommPort;
class QComboBox;
class QPushButton;

class CCommPortPage : public CPropertyPage {
public:
    enum { IDD = 9003, IDC_IO = 9013, IDC_MEM = 9014, IDC_TEST = 9035 };

    CCommPortPage();
    // Takes the stored indexes. Indexes outside the lists (a damaged file) are replaced by the
    // defaults, with a box saying so, and count as a change to be saved.
    void Init(CSetupDlg* owner, const CCommPort& port);
    // Writes the lists' selections into the record.
    void Store(CCommPort& port);
    void SetModified(int modified) { m_nModified = modified; }
    int IsModified() const { return m_nModified; }
    // Opens a private board on the selected port and window, resets and detects it, and shows
    // the outcome (2713, 2711, 2712 or 2710). Changes nothing.
    void TestBoard();

    QComboBox* IoList() const { return m_pIoList; }
    QComboBox* MemList() const { return m_pMemList; }
    QPushButton* TestButton() const { return m_pTest; }

protected:
    void OnInitDialog() override;
    void OnShowWindow(bool show) override;

private:
    void UpdateData(bool saveAndValidate);

    CSetupDlg* m_pOwner = nullptr;
    int m_nModified = 0;
    std::int32_t m_nMemIndex = -1;
    std::int32_t m_nIoIndex = -1;
    QComboBox* m_pIoList = nullptr;
    QComboBox* m_pMemList = nullptr;
    QPushButton* m_pTest = nullptr;
};
