#include "setup/subdialogs.h"

#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QValidator>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "config/address.h"
#include "config/doc.h"
#include "config/records.h"
#include "framework/msgbox.h"
#include "setup/dialog_texts.h"
#include "tarvosub/error.h"
#include "tarvosub/ui.h"

using namespace setupui;

namespace {

// Letters typed into the edit become upper case at once (the edit's upper-case style).
class CUpperCaseValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override {
        input = input.toUpper();
        return Acceptable;
    }
};

const char* const kWhite = " \t\r\n\v\f";

QLabel* Label(QWidget* parent, const char* text, int x, int y, int w, int h) {
    auto* label = new QLabel(Tr(text), parent);
    label->setGeometry(Dlu(x, y, w, h));
    return label;
}

QLineEdit* Edit(QWidget* parent, int id, int x, int y, int w, int h) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::number(id));
    edit->setGeometry(Dlu(x, y, w, h));
    return edit;
}

std::string FormatPeriod(float seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", static_cast<double>(seconds));
    return text;
}

}  // namespace

// --- shared ------------------------------------------------------------------------------------

CRecordDialog::CRecordDialog(QWidget* parent) : QDialog(parent) {
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFont(DialogFont());
}

void CRecordDialog::AddButtons(int okX, int okY, int cancelX, int cancelY) {
    m_pOk = new QPushButton(Tr(kBtnRegister), this);
    m_pOk->setObjectName(QStringLiteral("1"));
    m_pOk->setGeometry(Dlu(okX, okY, 40, 14));
    m_pOk->setDefault(true);
    m_pCancel = new QPushButton(Tr(kBtnCancel), this);
    m_pCancel->setObjectName(QStringLiteral("2"));
    m_pCancel->setGeometry(Dlu(cancelX, cancelY, 40, 14));
    QObject::connect(m_pOk, &QPushButton::clicked, this, [this] { OnOK(); });
    QObject::connect(m_pCancel, &QPushButton::clicked, this, [this] { reject(); });
}

void CRecordDialog::FailPrompt(unsigned id, const std::string& text, QLineEdit* edit) {
    CBoxRequest r;
    r.kind = CBoxRequest::message;
    r.id = id;
    r.text = text;
    r.type = MB_OK;
    AfxShowBox(r);
    edit->setFocus();
    edit->selectAll();
}

void CRecordDialog::FailError(int code, QLineEdit* edit) {
    CTarvoError::ErrMsg(code, 0, nullptr);
    edit->setFocus();
    edit->selectAll();
}

bool CRecordDialog::ExchangeInt(QLineEdit* edit, int low, int high, std::int32_t& value) {
    std::string text = edit->text().toStdString();
    const char* p = text.c_str();
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(p, &end, 10);
    bool digits = end != p;
    while (end && *end && std::strchr(kWhite, *end)) ++end;
    if (!digits || *end || errno == ERANGE) {
        FailPrompt(AFX_IDP_PARSE_INT, ParseIntPrompt(), edit);
        return false;
    }
    if (v < low || v > high) {
        FailPrompt(AFX_IDP_PARSE_INT_RANGE, IntRangePrompt(low, high), edit);
        return false;
    }
    value = static_cast<std::int32_t>(v);
    return true;
}

// --- station dialog ----------------------------------------------------------------------------

CStationDlg::CStationDlg(QWidget* parent, CQuorixDoc* doc, CStationInfo* station)
    : CRecordDialog(parent), m_pParent(parent), m_pDoc(doc), m_pStation(station) {
    setWindowTitle(Tr(kStationDlgCaption));
    setFixedSize(DluX(203), DluY(123));
    if (station) {
        m_strName = station->m_strName;
        m_strDesc = station->m_strDesc;
        m_nCpuType = station->m_nCpuType;
        m_nStationNo = station->m_nStationNo;
    }

    Label(this, kStationNameLabel, 8, 11, 46, 8);
    m_pEditName = Edit(this, IDC_NAME, 60, 8, 88, 14);
    m_pEditName->setValidator(new CUpperCaseValidator(m_pEditName));
    Label(this, kCpuTypeLabel, 8, 33, 46, 8);
    m_pCpuList = new QComboBox(this);
    m_pCpuList->setObjectName(QString::number(IDC_CPU));
    m_pCpuList->setGeometry(Dlu(60, 30, 88, 14));
    for (const char* e : kCpuEntries) m_pCpuList->addItem(Tr(e));
    Label(this, kStationNoLabel, 8, 55, 46, 8);
    m_pEditNo = Edit(this, IDC_NUMBER, 60, 52, 32, 14);
    m_pSpin = new CSpinButtonCtrl(this);
    m_pSpin->setObjectName(QString::number(IDC_NUMBER_SPIN));
    m_pSpin->setGeometry(Dlu(84, 56, 9, 14));
    m_pSpin->SetBuddy(m_pEditNo);
    Label(this, kStationNoHint, 96, 55, 28, 8);
    Label(this, kStationDescLabel, 8, 75, 46, 8);
    m_pEditDesc = Edit(this, IDC_DESC, 60, 74, 88, 42);
    m_pEditDesc->setAlignment(Qt::AlignLeft | Qt::AlignTop);  // a one-line edit in a tall box
    AddButtons(156, 8, 156, 30);

    UpdateData(false);
    m_pSpin->SetRange(0, 31);
    m_pEditName->setFocus();
}

bool CStationDlg::UpdateData(bool save) {
    if (!save) {
        m_pCpuList->setCurrentIndex(m_nCpuType >= 0 && m_nCpuType < 4 ? m_nCpuType : -1);
        m_pEditDesc->setText(FromCp949(m_strDesc));
        m_pEditName->setText(FromCp949(m_strName));
        m_pEditNo->setText(QString::number(m_nStationNo));
        return true;
    }
    m_nCpuType = m_pCpuList->currentIndex();
    m_strDesc = ToCp949(m_pEditDesc->text());
    m_strName = ToCp949(m_pEditName->text());
    return ExchangeInt(m_pEditNo, 0, 63, m_nStationNo);
}

void CStationDlg::OnOK() {
    if (!UpdateData(true)) return;
    m_strName = StationNameFromInput(m_strName);
    if (m_strName.empty()) return FailError(2700, m_pEditName);
    if (int code = m_pDoc->CheckStationName(m_strName, m_pStation))
        return FailError(code, m_pEditName);
    if (int code = m_pDoc->CheckStationNo(m_nStationNo, m_pStation))
        return FailError(code, m_pEditNo);
    accept();
}

// --- block dialog ------------------------------------------------------------------------------

CCommBlockDlg::CCommBlockDlg(QWidget* parent, CQuorixDoc* doc, CStationInfo* station,
                             CCommBlock* block)
    : CRecordDialog(parent), m_pParent(parent), m_pDoc(doc), m_pStation(station), m_pBlock(block) {
    setWindowTitle(Tr(kBlockDlgCaption));
    setFixedSize(DluX(143), DluY(115));
    if (block) {
        m_strAddress = block->m_strAddress;
        m_fPeriod = static_cast<float>(block->m_nPeriod) / 1000.0f;
        m_nWordCount = block->m_nWordCount;
    }
    m_fShownPeriod = m_fPeriod;

    auto* frame = new QFrame(this);
    frame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    frame->setGeometry(Dlu(8, 6, 128, 78));
    Label(this, kAddressLabel, 16, 17, 28, 8);
    m_pEditAddress = Edit(this, IDC_ADDRESS, 48, 14, 80, 14);
    m_pEditAddress->setValidator(new CUpperCaseValidator(m_pEditAddress));
    Label(this, kWordCountLabel, 16, 39, 28, 8);
    m_pEditWords = Edit(this, IDC_WORDS, 48, 36, 32, 14);
    m_pSpin = new CSpinButtonCtrl(this);
    m_pSpin->setObjectName(QString::number(IDC_WORDS_SPIN));
    m_pSpin->setGeometry(Dlu(72, 40, 9, 14));
    m_pSpin->SetBuddy(m_pEditWords);
    Label(this, kWordCountHint, 84, 39, 28, 8);
    Label(this, kPeriodLabel, 16, 61, 28, 8);
    m_pEditPeriod = Edit(this, IDC_PERIOD, 48, 58, 32, 14);
    m_pFloatSpin = new CFloatSpinCtrl(this);
    m_pFloatSpin->setObjectName(QString::number(IDC_PERIOD_SPIN));
    m_pFloatSpin->setGeometry(Dlu(72, 62, 9, 14));
    m_pFloatSpin->SetBuddy(m_pEditPeriod);
    Label(this, kPeriodUnit, 84, 61, 16, 8);
    AddButtons(24, 92, 80, 92);

    UpdateData(false);
    m_pSpin->SetRange(1, 60);
    m_pFloatSpin->SetDeltaInc(0.1f, 1);
    m_pFloatSpin->SetRange(0.0f, 999.9f);
    m_pEditAddress->setFocus();
}

bool CCommBlockDlg::UpdateData(bool save) {
    if (!save) {
        m_pEditAddress->setText(FromCp949(m_strAddress));
        m_pEditPeriod->setText(QString::fromStdString(FormatPeriod(m_fPeriod)));
        m_pEditWords->setText(QString::number(m_nWordCount));
        return true;
    }
    m_strAddress = ToCp949(m_pEditAddress->text());

    std::string text = m_pEditPeriod->text().toStdString();
    const char* p = text.c_str();
    char* end = nullptr;
    double d = std::strtod(p, &end);
    bool digits = end != p;
    while (end && *end && std::strchr(" \t\r\n", *end)) ++end;
    if (!digits || *end) {
        FailPrompt(AFX_IDP_PARSE_REAL, ParseRealPrompt(), m_pEditPeriod);
        return false;
    }
    float f = static_cast<float>(d);
    if (!(f >= 0.0f && f <= 999.9f)) {
        FailPrompt(AFX_IDP_PARSE_REAL_RANGE, RealRangePrompt("0", "999.9"), m_pEditPeriod);
        return false;
    }
    m_fPeriod = f;
    return ExchangeInt(m_pEditWords, 1, 60, m_nWordCount);
}

void CCommBlockDlg::OnOK() {
    if (!UpdateData(true)) return;
    m_strAddress = TrimWhite(m_strAddress);
    int cpu = m_pStation ? m_pStation->m_nCpuType : 0;
    if (!ParseBlockAddress(cpu, m_strAddress, m_nDevice, m_nStartWord, m_nAreaCode))
        return FailError(2703, m_pEditAddress);
    if (!CheckBlockRange(cpu, m_nDevice, m_nStartWord, m_nWordCount))
        return FailError(2705, m_pEditWords);
    if (m_pStation) {
        std::int64_t first = m_nStartWord, last = first + m_nWordCount - 1;
        for (const auto& b : m_pStation->m_blocks) {
            if (b.get() == m_pBlock || b->m_nDevice != m_nDevice) continue;
            std::int64_t bFirst = b->m_nStartWord, bLast = bFirst + b->m_nWordCount - 1;
            if (first <= bLast && bFirst <= last) return FailError(2704, m_pEditAddress);
        }
    }
    accept();
}

std::int32_t CCommBlockDlg::PeriodMs() const {
    if (m_pBlock && m_fPeriod == m_fShownPeriod) return m_pBlock->m_nPeriod;
    return static_cast<std::int32_t>(static_cast<double>(m_fPeriod) * 1000.0);
}
