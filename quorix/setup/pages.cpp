// The two pages of the setup dialog and the tree's bitmap.
#include <QApplication>
#include <QBitmap>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QPalette>
#include <QPushButton>
#include <QTreeWidget>

#include "board/dluboard.h"
#include "config/doc.h"
#include "config/records.h"
#include "driver/texts.h"
#include "framework/msgbox.h"
#include "setup/commportpage.h"
#include "setup/dialog_texts.h"
#include "setup/setupdlg.h"
#include "setup/stationpage.h"

using namespace setupui;

namespace {

constexpr int kRecordRole = Qt::UserRole;
constexpr int kImageRole = Qt::UserRole + 1;

QString StationText(const CStationInfo* s) {
    std::string text;
    s->GetDisplayText(text);
    return FromCp949(text);
}

QString BlockText(const CCommBlock* b) {
    std::string text;
    b->GetDisplayText(text);
    return FromCp949(text);
}

}  // namespace

// --- bitmap 9034 --------------------------------------------------------------------------------

QPixmap CStationPage::LoadTreeBitmap() {
    // 16 colours on magenta; drawn here rather than shipped, in the flat style of the period.
    const QColor magenta(255, 0, 255), black(0, 0, 0), white(255, 255, 255);
    const QColor gray(128, 128, 128), silver(192, 192, 192), navy(0, 0, 128);
    const QColor teal(0, 128, 128), green(0, 255, 0), yellow(255, 255, 0);
    QPixmap strip(58, 16);
    strip.fill(magenta);
    QPainter p(&strip);
    p.setRenderHint(QPainter::Antialiasing, false);

    // 0: the document, a page with a folded corner and text lines.
    p.fillRect(2, 1, 10, 14, white);
    p.setPen(black);
    p.drawLine(2, 1, 9, 1);
    p.drawLine(2, 1, 2, 14);
    p.drawLine(2, 14, 12, 14);
    p.drawLine(12, 4, 12, 14);
    p.drawLine(9, 1, 12, 4);
    p.drawLine(9, 1, 9, 4);
    p.drawLine(9, 4, 12, 4);
    p.setPen(navy);
    for (int y = 6; y <= 12; y += 2) p.drawLine(4, y, 10, y);

    // 1: a station, a PLC rack with a status lamp and I/O terminals.
    p.translate(16, 0);
    p.fillRect(1, 3, 14, 10, silver);
    p.setPen(black);
    p.drawRect(1, 3, 13, 9);
    p.fillRect(3, 5, 3, 5, teal);
    p.fillRect(7, 5, 2, 2, green);
    p.fillRect(10, 5, 2, 2, yellow);
    p.setPen(gray);
    for (int x = 7; x <= 12; x += 2) p.drawLine(x, 9, x, 10);
    p.setPen(black);
    p.drawLine(4, 13, 4, 14);
    p.drawLine(11, 13, 11, 14);
    p.drawLine(2, 15, 13, 15);

    // 2: a block, a run of words.
    p.translate(16, 0);
    p.setPen(black);
    for (int row = 0; row < 3; ++row) {
        int y = 2 + row * 4;
        p.fillRect(2, y, 12, 3, row == 0 ? navy : white);
        p.drawRect(2, y, 11, 3);
        p.drawLine(6, y, 6, y + 3);
        p.drawLine(10, y, 10, y + 3);
    }
    p.end();
    return strip;
}

// --- station tree page ------------------------------------------------------------------------

CStationPage::CStationPage() : CPropertyPage(Tr(kStationPageCaption)) {
    setObjectName(QString::number(IDD));
    resize(DluX(171), DluY(168));
}

void CStationPage::OnInitDialog() {
    m_pTree = new QTreeWidget(this);
    m_pTree->setObjectName(QString::number(IDC_TREE));
    m_pTree->setGeometry(Dlu(4, 4, 164, 160));
    m_pTree->setHeaderHidden(true);
    m_pTree->setColumnCount(1);
    m_pTree->setRootIsDecorated(false);  // no lines at the root
    m_pTree->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pTree->setIconSize(QSize(16, 16));
    m_pTree->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);

    // The image list: 16-pixel pictures cut from the strip, magenta transparent.
    QPixmap strip = LoadTreeBitmap();
    m_images.clear();
    for (int i = 0; i < 3; ++i) {
        QPixmap image = strip.copy(i * 16, 0, 16, 16);
        image.setMask(image.createMaskFromColor(QColor(255, 0, 255), Qt::MaskInColor));
        m_images.append(QIcon(image));
    }

    m_pTree->setUpdatesEnabled(false);
    m_pTree->clear();
    CQuorixDoc* doc = m_pOwner ? m_pOwner->GetDocument() : nullptr;
    m_hRoot = AddItem(nullptr, doc ? FromCp949(doc->GetTitle()) : QString(), IMAGE_ROOT, nullptr);
    if (doc) {
        for (const auto& s : doc->Stations()) {
            QTreeWidgetItem* si = AddItem(m_hRoot, StationText(s.get()), IMAGE_STATION, s.get());
            s->m_hTreeItem = si;
            for (const auto& b : s->m_blocks)
                b->m_hTreeItem = AddItem(si, BlockText(b.get()), IMAGE_BLOCK, b.get());
        }
    }
    m_hRoot->setExpanded(true);
    m_pTree->setUpdatesEnabled(true);

    QObject::connect(m_pTree, &QTreeWidget::itemSelectionChanged, this, [this] { OnSelChanged(); });
    QObject::connect(m_pTree, &QTreeWidget::itemDoubleClicked, this,
                     [this](QTreeWidgetItem*, int) { OnDblClk(); });
}

QTreeWidgetItem* CStationPage::AddItem(QTreeWidgetItem* parent, const QString& text, int image,
                                       CObject* data) {
    auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(m_pTree);
    item->setText(0, text);
    item->setIcon(0, m_images.value(image));
    item->setData(0, kRecordRole, QVariant::fromValue(reinterpret_cast<quintptr>(data)));
    item->setData(0, kImageRole, image);
    return item;
}

QTreeWidgetItem* CStationPage::SelectedItem() const {
    if (!m_pTree) return nullptr;
    QList<QTreeWidgetItem*> items = m_pTree->selectedItems();
    return items.isEmpty() ? nullptr : items.first();
}

CObject* CStationPage::GetSelection(int& kind) const {
    QTreeWidgetItem* item = SelectedItem();
    if (!item) return nullptr;
    kind = item->data(0, kImageRole).toInt();
    return reinterpret_cast<CObject*>(item->data(0, kRecordRole).value<quintptr>());
}

void CStationPage::InsertStation(CStationInfo* station) {
    QTreeWidgetItem* item = AddItem(m_hRoot, StationText(station), IMAGE_STATION, station);
    station->m_hTreeItem = item;
    m_pTree->setCurrentItem(item);
}

void CStationPage::UpdateStation(CStationInfo* station) {
    if (auto* item = static_cast<QTreeWidgetItem*>(station->m_hTreeItem))
        item->setText(0, StationText(station));
}

void CStationPage::InsertBlock(CCommBlock* block) {
    if (!m_pCurStation || !m_pCurStation->m_hTreeItem) return;
    auto* parent = static_cast<QTreeWidgetItem*>(m_pCurStation->m_hTreeItem);
    QTreeWidgetItem* item = AddItem(parent, BlockText(block), IMAGE_BLOCK, block);
    block->m_hTreeItem = item;
    parent->setExpanded(true);
    m_pTree->setCurrentItem(item);
}

void CStationPage::UpdateBlock(CCommBlock* block) {
    if (auto* item = static_cast<QTreeWidgetItem*>(block->m_hTreeItem))
        item->setText(0, BlockText(block));
}

void CStationPage::DeleteSelection() {
    QTreeWidgetItem* item = SelectedItem();
    if (!item) return;
    QTreeWidgetItem* parent = item->parent();
    QTreeWidgetItem* next = nullptr;
    if (parent) {
        int at = parent->indexOfChild(item);
        next = parent->child(at + 1);
        if (!next && at > 0) next = parent->child(at - 1);
        if (!next) next = parent;
    }
    if (m_hRoot == item) m_hRoot = nullptr;
    delete item;
    if (next)
        m_pTree->setCurrentItem(next);
    else
        OnSelChanged();
}

void CStationPage::EnableButtons() {
    if (!m_pOwner || !m_pOwner->m_pBtnEdit) return;
    bool station = m_pCurStation != nullptr;
    m_pOwner->m_pBtnEdit->setEnabled(station);
    m_pOwner->m_pBtnDelete->setEnabled(station);
    m_pOwner->m_pBtnAddStation->setEnabled(true);
    m_pOwner->m_pBtnAddBlock->setEnabled(station);
}

void CStationPage::OnShowWindow(bool show) {
    if (show) EnableButtons();
}

void CStationPage::OnSelChanged() {
    QTreeWidgetItem* item = SelectedItem();
    if (!item) {
        m_pCurStation = nullptr;
    } else if (item->data(0, kImageRole).toInt() >= IMAGE_BLOCK) {
        QTreeWidgetItem* parent = item->parent();
        m_pCurStation =
            parent ? reinterpret_cast<CStationInfo*>(parent->data(0, kRecordRole).value<quintptr>())
                   : nullptr;
    } else {
        m_pCurStation =
            reinterpret_cast<CStationInfo*>(item->data(0, kRecordRole).value<quintptr>());
    }
    EnableButtons();
}

void CStationPage::OnDblClk() {
    if (m_pOwner) m_pOwner->OnCommand(CSetupDlg::IDC_EDIT);
}

// --- board settings page ----------------------------------------------------------------------

CCommPortPage::CCommPortPage() : CPropertyPage(Tr(kCommPortPageCaption)) {
    setObjectName(QString::number(IDD));
    resize(DluX(170), DluY(170));
}

void CCommPortPage::Init(CSetupDlg* owner, const CCommPort& port) {
    m_pOwner = owner;
    m_nModified = 0;
    m_nIoIndex = port.m_nIoIndex;
    m_nMemIndex = port.m_nMemIndex;
    bool badIo = m_nIoIndex < 0 || m_nIoIndex >= kDluIoBaseCount;
    bool badMem = m_nMemIndex < 0 || m_nMemIndex >= kDluMemBaseCount;
    if (badIo || badMem) {
        // Only a damaged file holds these; never let them reach the board's tables.
        if (badIo) m_nIoIndex = CCommPort::kDefaultIoIndex;
        if (badMem) m_nMemIndex = CCommPort::kDefaultMemIndex;
        m_nModified = 1;
        CBoxRequest r;
        r.kind = CBoxRequest::message;
        r.id = kBadPortBoxId;
        r.text = BadPortText();
        r.type = MB_OK;
        AfxShowBox(r);
    }
    if (IsCreated()) UpdateData(false);
}

void CCommPortPage::OnInitDialog() {
    auto* frame = new QFrame(this);
    // Etched on all four sides, as a group box is drawn (a sunken panel's light sides vanish
    // on the page's light background).
    frame->setFrameStyle(QFrame::Box | QFrame::Sunken);
    frame->setGeometry(Dlu(12, 34, 148, 62));
    (new QLabel(Tr(kIoAddressLabel), this))->setGeometry(Dlu(28, 50, 44, 8));
    m_pIoList = new QComboBox(this);
    m_pIoList->setObjectName(QString::number(IDC_IO));
    m_pIoList->setGeometry(Dlu(88, 46, 44, 14));
    for (const char* e : kIoEntries) m_pIoList->addItem(Tr(e));
    (new QLabel(Tr(kBaseAddressLabel), this))->setGeometry(Dlu(28, 75, 48, 8));
    m_pMemList = new QComboBox(this);
    m_pMemList->setObjectName(QString::number(IDC_MEM));
    m_pMemList->setGeometry(Dlu(88, 72, 44, 14));
    for (const char* e : kMemEntries) m_pMemList->addItem(Tr(e));
    m_pTest = new QPushButton(Tr(kBoardTestButton), this);
    m_pTest->setObjectName(QString::number(IDC_TEST));
    m_pTest->setGeometry(Dlu(12, 106, 148, 16));
    FitText(*m_pTest);
    m_pTest->setAutoDefault(false);

    UpdateData(false);
    // Connected after the first fill: only the user's choices mark a change.
    QObject::connect(m_pIoList, &QComboBox::currentIndexChanged, this, [this] { m_nModified = 1; });
    QObject::connect(m_pMemList, &QComboBox::currentIndexChanged, this,
                     [this] { m_nModified = 1; });
    QObject::connect(m_pTest, &QPushButton::clicked, this, [this] { TestBoard(); });
}

void CCommPortPage::UpdateData(bool save) {
    if (!m_pIoList) return;
    if (save) {
        m_nMemIndex = m_pMemList->currentIndex();
        m_nIoIndex = m_pIoList->currentIndex();
        return;
    }
    const QSignalBlocker blockIo(m_pIoList), blockMem(m_pMemList);
    m_pMemList->setCurrentIndex(m_nMemIndex);
    m_pIoList->setCurrentIndex(m_nIoIndex);
}

void CCommPortPage::Store(CCommPort& port) {
    UpdateData(true);
    // An empty list selection (-1) keeps what the record holds rather than storing -1.
    if (m_nIoIndex >= 0 && m_nIoIndex < kDluIoBaseCount) port.m_nIoIndex = m_nIoIndex;
    if (m_nMemIndex >= 0 && m_nMemIndex < kDluMemBaseCount) port.m_nMemIndex = m_nMemIndex;
}

void CCommPortPage::OnShowWindow(bool show) {
    if (!show || !m_pOwner || !m_pOwner->m_pBtnEdit) return;
    m_pOwner->m_pBtnEdit->setEnabled(false);
    m_pOwner->m_pBtnDelete->setEnabled(false);
    m_pOwner->m_pBtnAddStation->setEnabled(false);
    m_pOwner->m_pBtnAddBlock->setEnabled(false);
}

void CCommPortPage::TestBoard() {
    UpdateData(true);
    if (m_nIoIndex < 0 || m_nIoIndex >= kDluIoBaseCount || m_nMemIndex < 0 ||
        m_nMemIndex >= kDluMemBaseCount)
        return;
    std::uint32_t id;
    {
        CDluBoard board;
        // The reset and detection block the dialog for seconds: say so with the cursor.
        bool gui = qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
        if (gui) QApplication::setOverrideCursor(Qt::WaitCursor);
        int result = board.Open(m_nIoIndex, m_nMemIndex);
        if (result == 0) {
            board.Reset();
            id = board.Detect() ? IDS_TEST_OK : IDS_TEST_NO_BOARD;
        } else if (result == 12) {
            id = IDS_TEST_NO_DRIVER;
        } else {
            id = IDS_TEST_MAP_FAILED;
        }
        board.Close();
        if (gui) QApplication::restoreOverrideCursor();
    }
    AfxMessageBox(id, MB_OK);
}
