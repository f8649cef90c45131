#include "tarvosub/ui.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "framework/codepage.h"
#include "framework/msgbox.h"

// --- property pages and the tab sheet ---------------------------------------------------------

CPropertyPage::CPropertyPage(const QString& caption, QWidget* parent) : QWidget(parent) {
    setWindowTitle(caption);
}

void CPropertyPage::Create() {
    if (m_bCreated) return;
    m_bCreated = true;
    OnInitDialog();
}

void CPropertyPage::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    OnShowWindow(true);
}

void CPropertyPage::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    OnShowWindow(false);
}

CTabSheet::CTabSheet(QWidget* parent) : QTabWidget(parent) {}

CTabSheet::~CTabSheet() {
    // The pages belong to their owner; hand them back before Qt deletes our children.
    while (count() > 0) {
        QWidget* page = widget(0);
        removeTab(0);
        page->hide();
        page->setParent(nullptr);
    }
}

void CTabSheet::AddPage(CPropertyPage* page) {
    if (!page) return;
    page->Create();
    addTab(page, page->windowTitle());
}

void CTabSheet::SetActivePage(int index) {
    if (index >= 0 && index < count()) setCurrentIndex(index);
}

CPropertyPage* CTabSheet::GetPage(int index) const {
    return dynamic_cast<CPropertyPage*>(widget(index));
}

// --- up-down controls ---------------------------------------------------------------------------

CSpinButtonCtrl::CSpinButtonCtrl(QWidget* parent)
    : QWidget(parent), m_pUp(new QToolButton(this)), m_pDown(new QToolButton(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (QToolButton* b : {m_pUp, m_pDown}) {
        b->setAutoRepeat(true);
        b->setFocusPolicy(Qt::NoFocus);
        b->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
        layout->addWidget(b);
    }
    m_pUp->setArrowType(Qt::UpArrow);
    m_pDown->setArrowType(Qt::DownArrow);
    QObject::connect(m_pUp, &QToolButton::clicked, this, [this] { Step(+1); });
    QObject::connect(m_pDown, &QToolButton::clicked, this, [this] { Step(-1); });
}

void CSpinButtonCtrl::SetBuddy(QLineEdit* buddy) {
    if (m_pBuddy) m_pBuddy->removeEventFilter(this);
    m_pBuddy = buddy;
    if (!buddy) return;
    buddy->installEventFilter(this);
    QRect r = buddy->geometry();
    int w = width();
    buddy->setGeometry(r.x(), r.y(), std::max(0, r.width() - w), r.height());
    setGeometry(r.x() + r.width() - w, r.y(), w, r.height());
}

void CSpinButtonCtrl::SetRange(int low, int high) {
    m_nLow = low;
    m_nHigh = high;
}

void CSpinButtonCtrl::Step(int direction) {
    if (!m_pBuddy) return;
    bool ok = false;
    long v = m_pBuddy->text().trimmed().toLong(&ok);
    int lo = std::min(m_nLow, m_nHigh), hi = std::max(m_nLow, m_nHigh);
    if (!ok)
        v = lo;
    else
        v += direction;
    v = std::clamp<long>(v, lo, hi);
    m_pBuddy->setText(QString::number(v));
}

bool CSpinButtonCtrl::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_pBuddy && event->type() == QEvent::KeyPress && isEnabled()) {
        int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down) {
            Step(key == Qt::Key_Up ? +1 : -1);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

CFloatSpinCtrl::CFloatSpinCtrl(QWidget* parent) : CSpinButtonCtrl(parent) {}

void CFloatSpinCtrl::SetRange(double low, double high) {
    m_dLow = low;
    m_dHigh = high;
}

void CFloatSpinCtrl::SetDeltaInc(double step, int integer) {
    m_dStep = step;
    m_nInteger = integer;
}

void CFloatSpinCtrl::Step(int direction) {
    if (!m_pBuddy) return;
    bool ok = false;
    double v = m_pBuddy->text().trimmed().toDouble(&ok);
    double lo = std::min(m_dLow, m_dHigh), hi = std::max(m_dLow, m_dHigh);
    if (!ok)
        v = lo;
    else
        v += direction * m_dStep;
    if (m_nInteger && m_dStep > 0) {
        // The step itself is a single-precision value (0.100000001): round to its decimals.
        int decimals = 0;
        for (double s = m_dStep; decimals < 6 && std::fabs(s - std::round(s)) > 1e-6; s *= 10)
            ++decimals;
        double scale = std::pow(10.0, decimals);
        v = std::round(v * scale) / scale;
    }
    v = std::clamp(v, lo, hi);
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", static_cast<double>(static_cast<float>(v)));
    m_pBuddy->setText(QString::fromLatin1(text));
}

// --- boxes --------------------------------------------------------------------------------------

namespace {

std::atomic<bool> gGuiInstalled{false};

int FallbackBox(const CBoxRequest& r) {
    std::fprintf(stderr, "[%s %u] %s\n", r.kind == CBoxRequest::error ? "error" : "message", r.id,
                 Cp949ToUtf8(r.text).c_str());
    return r.type == MB_YESNO ? IDNO : IDOK;
}

int GuiBox(const CBoxRequest& r) {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return FallbackBox(r);
    QWidget* owner = QApplication::activeModalWidget();
    if (!owner) owner = QApplication::activeWindow();
    QString text = QString::fromUtf8(Cp949ToUtf8(r.text));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QMessageBox box(owner);
    box.setWindowTitle(owner ? owner->windowTitle() : QStringLiteral("Tarvo"));
    box.setText(text);
    // The buttons are labelled as the Korean system labels its own boxes.
    if (r.type == MB_YESNO && r.kind == CBoxRequest::message) {
        box.setIcon(QMessageBox::NoIcon);
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.button(QMessageBox::Yes)->setText(QString::fromUtf8("예(&Y)"));
        box.button(QMessageBox::No)->setText(QString::fromUtf8("아니요(&N)"));
        box.setDefaultButton(QMessageBox::Yes);
        return box.exec() == QMessageBox::Yes ? IDYES : IDNO;
    }
    box.setIcon(r.kind == CBoxRequest::error ? QMessageBox::Critical : QMessageBox::NoIcon);
    box.setStandardButtons(QMessageBox::Ok);
    box.button(QMessageBox::Ok)->setText(QString::fromUtf8("확인"));
    box.exec();
    return IDOK;
}

}  // namespace

bool TarvoInstallGuiBoxes() {
    if (gGuiInstalled.load()) return false;
    CBoxHandler previous = AfxSetBoxHandler(GuiBox);
    if (previous) {
        // Someone (a test, another host) already answers the boxes: leave it in charge.
        AfxSetBoxHandler(std::move(previous));
        return false;
    }
    gGuiInstalled.store(true);
    return true;
}

void TarvoRemoveGuiBoxes() {
    if (!gGuiInstalled.exchange(false)) return;
    AfxSetBoxHandler({});
}
