#include "setup/setupdlg.h"

#include <QPushButton>
#include <algorithm>
#include <memory>

#include "config/doc.h"
#include "config/records.h"
#include "driver/texts.h"
#include "framework/msgbox.h"
#include "setup/dialog_texts.h"
#include "setup/subdialogs.h"
#include "tarvosub/ui.h"

using namespace setupui;

CSetupDlg::CSetupDlg(CQuorixDoc* doc, QWidget* parent)
    : QDialog(parent), m_pDoc(doc), m_runModal([](QDialog& d) { return d.exec(); }) {
    setObjectName(QString::number(IDD));
    setWindowTitle(Tr(kSetupCaption));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFont(DialogFont());
    setFixedSize(DluX(243), DluY(203));

    m_pTabSheet = new CTabSheet(this);
    m_pTabSheet->setObjectName(QString::number(IDC_TAB));
    m_pTabSheet->setGeometry(Dlu(6, 6, 176, 192));

    struct Button {
        int id;
        const char* text;
        int y;
        QPushButton** member;
    };
    const Button buttons[] = {
        {IDC_EDIT, kBtnEdit, 20, &m_pBtnEdit},
        {IDC_DELETE, kBtnDelete, 40, &m_pBtnDelete},
        {IDC_ADD_STATION, kBtnAddStation, 64, &m_pBtnAddStation},
        {IDC_ADD_BLOCK, kBtnAddBlock, 84, &m_pBtnAddBlock},
        {IDC_SAVE, kBtnSave, 108, nullptr},
        {IDC_CLOSE, kBtnClose, 128, nullptr},
    };
    for (const Button& b : buttons) {
        auto* button = new QPushButton(Tr(b.text), this);
        button->setObjectName(QString::number(b.id));
        button->setGeometry(Dlu(188, b.y, 48, 14));
        FitText(*button);
        if (b.id == IDC_EDIT) button->setDefault(true);
        if (b.member) *b.member = button;
        int id = b.id;
        QObject::connect(button, &QPushButton::clicked, this, [this, id] { OnCommand(id); });
    }

    // Initialisation: the board page takes the stored settings, the tree page its owner, and
    // both go into the sheet (which creates them), the tree first and active.
    if (m_pDoc) m_commPortPage.Init(this, m_pDoc->Port());
    m_stationPage.SetOwner(this);
    m_pTabSheet->AddPage(&m_stationPage);
    m_pTabSheet->AddPage(&m_commPortPage);
    m_pTabSheet->SetActivePage(0);
    m_stationPage.EnableButtons();
}

CSetupDlg::~CSetupDlg() {
    // The sheet hands the member pages back before they are destroyed.
    delete m_pTabSheet;
    m_pTabSheet = nullptr;
}

void CSetupDlg::OnCommand(int id) {
    switch (id) {
        case IDC_EDIT:
            OnEdit();
            break;
        case IDC_DELETE:
            OnDelete();
            break;
        case IDC_ADD_STATION:
            OnAddStation();
            break;
        case IDC_ADD_BLOCK:
            OnAddBlock();
            break;
        case IDC_SAVE:
            OnSave();
            break;
        case IDC_CLOSE:
            reject();
            break;
        default:
            break;
    }
}

int CSetupDlg::RunModal(QDialog& dialog) { return m_runModal ? m_runModal(dialog) : dialog.exec(); }

void CSetupDlg::OnEdit() {
    int kind = -1;
    CObject* record = m_stationPage.GetSelection(kind);
    if (!record) return;
    if (kind == CStationPage::IMAGE_STATION)
        StationProc(static_cast<CStationInfo*>(record));
    else if (kind == CStationPage::IMAGE_BLOCK)
        BlockProc(m_stationPage.CurrentStation(), static_cast<CCommBlock*>(record));
}

void CSetupDlg::OnAddStation() { StationProc(nullptr); }

void CSetupDlg::OnAddBlock() {
    if (CStationInfo* station = m_stationPage.CurrentStation()) BlockProc(station, nullptr);
}

void CSetupDlg::StationProc(CStationInfo* station) {
    if (!m_pDoc) return;
    CStationDlg dlg(this, m_pDoc, station);
    if (RunModal(dlg) != QDialog::Accepted) return;
    std::unique_ptr<CStationInfo> created;
    if (!station) {
        created = std::make_unique<CStationInfo>();
        station = created.get();
    }
    station->m_strName = dlg.m_strName;
    station->m_strDesc = dlg.m_strDesc;
    station->m_nCpuType = dlg.m_nCpuType;
    station->m_nStationNo = dlg.m_nStationNo;
    if (created) {
        m_stationPage.InsertStation(station);
        m_pDoc->Stations().push_back(std::move(created));
    } else {
        m_stationPage.UpdateStation(station);
    }
    m_nModified = 1;
}

void CSetupDlg::BlockProc(CStationInfo* station, CCommBlock* block) {
    if (!m_pDoc || !station) return;
    CCommBlockDlg dlg(this, m_pDoc, station, block);
    if (RunModal(dlg) != QDialog::Accepted) return;
    std::unique_ptr<CCommBlock> created;
    if (!block) {
        created = std::make_unique<CCommBlock>();
        block = created.get();
    }
    block->m_strAddress = dlg.m_strAddress;
    block->m_nWordCount = dlg.m_nWordCount;
    block->m_nPeriod = dlg.PeriodMs();
    block->m_nDevice = dlg.m_nDevice;
    block->m_nStartWord = dlg.m_nStartWord;
    block->m_nAreaCode = dlg.m_nAreaCode;
    if (created) {
        m_stationPage.InsertBlock(block);
        station->m_blocks.push_back(std::move(created));
    } else {
        m_stationPage.UpdateBlock(block);
    }
    m_nModified = 1;
}

void CSetupDlg::OnDelete() {
    int kind = -1;
    CObject* record = m_stationPage.GetSelection(kind);
    if (!record || !m_pDoc) return;
    // Removed records live until the tree has let go of them (item and current station).
    std::unique_ptr<CStationInfo> removedStation;
    std::unique_ptr<CCommBlock> removedBlock;
    if (kind == CStationPage::IMAGE_STATION) {
        if (AfxMessageBox(IDS_ASK_DELETE_STATION, MB_YESNO) != IDYES) return;
        auto& list = m_pDoc->Stations();
        auto it = std::find_if(list.begin(), list.end(),
                               [record](const auto& s) { return s.get() == record; });
        if (it != list.end()) {
            removedStation = std::move(*it);
            list.erase(it);
        }
    } else if (kind == CStationPage::IMAGE_BLOCK) {
        if (AfxMessageBox(IDS_ASK_DELETE_BLOCK, MB_YESNO) != IDYES) return;
        if (CStationInfo* station = m_stationPage.CurrentStation()) {
            auto& list = station->m_blocks;
            auto it = std::find_if(list.begin(), list.end(),
                                   [record](const auto& b) { return b.get() == record; });
            if (it != list.end()) {
                removedBlock = std::move(*it);
                list.erase(it);
            }
        }
    } else {
        return;
    }
    m_stationPage.DeleteSelection();
    m_nModified = 1;
}

void CSetupDlg::OnSave() {
    if (!m_pDoc) return;
    m_commPortPage.Store(m_pDoc->Port());
    // A failed save (its own error box shown) leaves the edits marked, so Close still asks.
    if (!m_pDoc->Save()) return;
    m_commPortPage.SetModified(0);
    m_nModified = 0;
    m_nSaved = 1;
}

void CSetupDlg::reject() {
    if (m_nModified || m_commPortPage.IsModified()) {
        if (AfxMessageBox(IDS_ASK_SAVE, MB_YESNO) == IDYES) OnSave();
    }
    QDialog::reject();
}
