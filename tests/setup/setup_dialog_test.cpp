// The setup dialog with its two pages: buttons by selection and page, adding, editing and
// deleting through the sub-dialogs, saving and closing, and the board test.
#include <QComboBox>
#include <QDir>
#include <QFontMetrics>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include "board/dluboard.h"
#include "config/records.h"
#include "framework/codepage.h"
#include "platform/fakes.h"
#include "setup/dialog_texts.h"
#include "setup/setupdlg.h"
#include "setup/subdialogs.h"
#include "setup_fixture.h"
#include "tarvosub/ui.h"

using namespace setuptest;

namespace {

class SetupDlgTest : public ::testing::Test {
protected:
    void SetUp() override { dir = TempDir(); }

    // Opens the dialog on `d` with sub-dialogs run by `scripts` in turn.
    void Open(CQuorixDoc* d) {
        dlg = std::make_unique<CSetupDlg>(d);
        dlg->SetModalRunner([this](QDialog& sub) {
            ++subDialogs;
            if (scripts.empty()) {
                ADD_FAILURE() << "unexpected sub-dialog " << sub.windowTitle().toStdString();
                return static_cast<int>(QDialog::Rejected);
            }
            DialogScript script = scripts.front();
            scripts.pop_front();
            return RunScript(sub, script);
        });
        dlg->show();
    }
    void OpenPlant() {
        path = dir + "/plant.cfg";
        doc = PlantDoc(path);
        Open(doc.get());
    }
    QPushButton* Button(int id) { return dlg->findChild<QPushButton*>(QString::number(id)); }
    bool Enabled(int id) { return Button(id)->isEnabled(); }
    QTreeWidget* Tree() { return dlg->findChild<QTreeWidget*>("9012"); }
    QTreeWidgetItem* StationItem(int i) { return Tree()->topLevelItem(0)->child(i); }
    void Select(QTreeWidgetItem* item) { Tree()->setCurrentItem(item); }
    // Presses close and reports whether it asked 2709.
    bool CloseAsks() {
        boxes.Clear();
        Button(2)->click();
        EXPECT_FALSE(dlg->isVisible());
        return boxes.Ids() == std::vector<std::uint32_t>{2709};
    }

    static DialogScript AddStation(const char* name, const char* number) {
        return [=](QDialog& d) {
            auto& s = dynamic_cast<CStationDlg&>(d);
            s.m_pEditName->setText(name);
            s.m_pEditNo->setText(number);
            s.OkButton()->click();
        };
    }
    static DialogScript AddBlock(const char* address, const char* words, const char* period) {
        return [=](QDialog& d) {
            auto& b = dynamic_cast<CCommBlockDlg&>(d);
            b.m_pEditAddress->setText(address);
            b.m_pEditWords->setText(words);
            b.PeriodEdit()->setText(period);
            b.OkButton()->click();
        };
    }
    static DialogScript PressOk() {
        return [](QDialog& d) { dynamic_cast<CRecordDialog&>(d).OkButton()->click(); };
    }

    std::string dir, path;
    std::unique_ptr<CQuorixDoc> doc;
    std::unique_ptr<CSetupDlg> dlg;
    std::deque<DialogScript> scripts;
    int subDialogs = 0;
    BoxRecorder boxes;
};

TEST_F(SetupDlgTest, ButtonsFollowSelectionAndPage) {
    CQuorixDoc empty;
    empty.SetPath(dir + "/new line.cfg");
    Open(&empty);
    ASSERT_EQ(Tree()->topLevelItemCount(), 1);
    EXPECT_EQ(Tree()->topLevelItem(0)->text(0), "new line");
    EXPECT_EQ(Tree()->topLevelItem(0)->childCount(), 0);
    EXPECT_FALSE(Enabled(9007));
    EXPECT_FALSE(Enabled(9008));
    EXPECT_TRUE(Enabled(9009));
    EXPECT_FALSE(Enabled(9010));
    dlg.reset();

    OpenPlant();
    ASSERT_EQ(dlg->TabSheet().count(), 2);
    EXPECT_EQ(dlg->TabSheet().tabText(0), QString::fromUtf8("스테이션"));
    EXPECT_EQ(dlg->TabSheet().tabText(1), QString::fromUtf8("통신포트"));
    EXPECT_TRUE(dlg->CommPortPage().IsCreated());  // made when added, though never shown yet
    EXPECT_EQ(StationItem(0)->text(0), QString::fromUtf8("PLC1 (01국) : 1라인 프레스"));
    EXPECT_EQ(StationItem(0)->child(1)->text(0), "M0000, 16 Word");
    EXPECT_TRUE(Tree()->topLevelItem(0)->isExpanded());
    EXPECT_FALSE(StationItem(0)->isExpanded());

    Select(StationItem(1));
    EXPECT_TRUE(Enabled(9007) && Enabled(9008) && Enabled(9010));
    Select(StationItem(2)->child(1));
    EXPECT_TRUE(Enabled(9007) && Enabled(9008) && Enabled(9010));
    EXPECT_EQ(dlg->StationPage().CurrentStation(), doc->Stations()[2].get());

    dlg->TabSheet().setCurrentIndex(1);
    for (int id : {9007, 9008, 9009, 9010}) EXPECT_FALSE(Enabled(id)) << id;
    EXPECT_TRUE(Enabled(9011) && Enabled(2));
    dlg->TabSheet().setCurrentIndex(0);
    EXPECT_TRUE(Enabled(9007) && Enabled(9009) && Enabled(9010));

    Select(Tree()->topLevelItem(0));
    EXPECT_FALSE(Enabled(9007) || Enabled(9008) || Enabled(9010));
    EXPECT_TRUE(Enabled(9009));
    // Edit and delete on the root do nothing and ask nothing.
    dlg->OnEdit();
    dlg->OnDelete();
    EXPECT_EQ(subDialogs, 0);
    EXPECT_TRUE(boxes.Ids().empty());
    EXPECT_FALSE(CloseAsks());
    EXPECT_EQ(dlg->IsSaved(), 0);
}

TEST_F(SetupDlgTest, AddedStationIsKeptOnlyIfSavedOnClose) {
    for (int answer : {IDNO, IDYES}) {
        SCOPED_TRACE(answer == IDYES ? "yes" : "no");
        path = dir + (answer == IDYES ? "/yes.cfg" : "/no.cfg");
        {
            CQuorixDoc empty;  // an existing file with no stations
            empty.SetPath(path);
            ASSERT_TRUE(empty.Save());
        }
        const std::string before = ReadFile(path);
        CQuorixDoc d;
        ASSERT_EQ(d.Load(path), 1);
        d.SetPath(path);
        Open(&d);
        scripts.push_back(AddStation("KILN", "12"));
        Button(9009)->click();
        ASSERT_EQ(d.Stations().size(), 1u);
        EXPECT_EQ(Tree()->currentItem(), StationItem(0));  // the new item is selected
        EXPECT_EQ(dlg->StationPage().CurrentStation(), d.Stations()[0].get());
        boxes.Answer(answer);
        EXPECT_TRUE(CloseAsks());
        EXPECT_EQ(dlg->IsSaved(), answer == IDYES ? 1 : 0);
        if (answer == IDNO) {
            EXPECT_EQ(ReadFile(path), before);
            continue;
        }
        EXPECT_NE(ReadFile(path), before);
        CQuorixDoc back;
        ASSERT_EQ(back.Load(path), 1);
        ASSERT_EQ(back.Stations().size(), 1u);
        EXPECT_EQ(back.Stations()[0]->m_strName, "KILN");
        EXPECT_EQ(back.Stations()[0]->m_nStationNo, 12);
        EXPECT_EQ(back.StationNames(), std::vector<std::string>{"KILN"});
    }
}

TEST_F(SetupDlgTest, SaveThenCloseAsksNothing) {
    OpenPlant();
    Select(StationItem(3));
    scripts.push_back(PressOk());  // confirming unchanged still counts as a change
    Button(9007)->click();
    EXPECT_EQ(subDialogs, 1);
    EXPECT_EQ(dlg->IsModified(), 1);
    Button(9011)->click();
    EXPECT_EQ(dlg->IsModified(), 0);
    EXPECT_FALSE(CloseAsks());
    EXPECT_EQ(dlg->IsSaved(), 1);
    CQuorixDoc back;
    ASSERT_EQ(back.Load(path), 1);
    EXPECT_EQ(back.Stations().size(), 4u);
    EXPECT_EQ(back.Stations()[0]->m_blocks.size(), 3u);
}

TEST_F(SetupDlgTest, FailedSaveKeepsTheEditsMarked) {
    doc = PlantDoc(dir + "/missing/plant.cfg");  // a folder that does not exist
    Open(doc.get());
    Select(StationItem(3));
    scripts.push_back(PressOk());
    Button(9007)->click();
    dlg->TabSheet().setCurrentIndex(1);
    dlg->findChild<QComboBox*>("9013")->setCurrentIndex(10);
    Button(9011)->click();
    EXPECT_EQ(boxes.Ids(), std::vector<std::uint32_t>{2005});
    EXPECT_EQ(dlg->IsModified(), 1);
    EXPECT_EQ(dlg->CommPortPage().IsModified(), 1);
    EXPECT_TRUE(CloseAsks());
    EXPECT_EQ(dlg->IsSaved(), 0);
}

TEST_F(SetupDlgTest, BoardPageChoiceAsksOnCloseAndIsStored) {
    OpenPlant();
    auto* io = dlg->findChild<QComboBox*>("9013");
    auto* mem = dlg->findChild<QComboBox*>("9014");
    EXPECT_EQ(io->currentText(), " 340");
    EXPECT_EQ(mem->currentText(), " D800");
    EXPECT_EQ(io->count(), 16);
    EXPECT_EQ(mem->itemText(11), " EC00");
    dlg->TabSheet().setCurrentIndex(1);
    io->setCurrentIndex(10);
    boxes.Answer(IDYES);
    EXPECT_TRUE(CloseAsks());
    CQuorixDoc back;
    ASSERT_EQ(back.Load(path), 1);
    EXPECT_EQ(back.Port().m_nIoIndex, 10);
    EXPECT_EQ(back.Port().m_nMemIndex, 6);
}

TEST_F(SetupDlgTest, BoardTestShowsOutcomeAndMarksNothing) {
    plat::FakeClock clock;
    clock.SetAutoAdvance(5);
    plat::ScopedClock useClock(&clock);
    plat::FakeDevice device;
    plat::ScopedDevice useDevice(&device);
    OpenPlant();
    dlg->TabSheet().setCurrentIndex(1);
    QPushButton* test = Button(9035);

    device.openFails = true;
    test->click();
    device.openFails = false;
    device.mapFails = true;
    test->click();
    device.mapFails = false;
    test->click();  // the fake's ports read 0xFF: no board answers
    EXPECT_EQ(boxes.Ids(), (std::vector<std::uint32_t>{2712, 2710, 2711}));
    EXPECT_EQ(device.lastMapAddress, 0xD8000u);
    // Every opened handle was closed again.
    int opened = 0;
    for (const auto& c : device.calls) opened += c.what == "open";
    EXPECT_EQ(static_cast<int>(device.closed.size()), opened - 1);  // the first open failed
    EXPECT_FALSE(CloseAsks());
    EXPECT_EQ(doc->Port().m_nIoIndex, 4);
}

TEST_F(SetupDlgTest, BoardIndexesOutsideTheListsFallBackToDefaults) {
    plat::FakeClock clock;
    clock.SetAutoAdvance(5);
    plat::ScopedClock useClock(&clock);
    plat::FakeDevice device;
    plat::ScopedDevice useDevice(&device);
    path = dir + "/damaged.cfg";
    doc = PlantDoc(path);
    doc->Port().m_nIoIndex = 40;
    doc->Port().m_nMemIndex = -3;
    Open(doc.get());
    EXPECT_EQ(boxes.Ids(), std::vector<std::uint32_t>{setupui::kBadPortBoxId});
    EXPECT_EQ(dlg->findChild<QComboBox*>("9013")->currentText(), " 340");
    EXPECT_EQ(dlg->findChild<QComboBox*>("9014")->currentText(), " D800");
    boxes.Clear();
    Button(9035)->click();
    EXPECT_EQ(boxes.Ids(), std::vector<std::uint32_t>{2711});
    EXPECT_EQ(device.lastMapAddress, 0xD8000u);
    ASSERT_FALSE(device.writes.empty());
    EXPECT_EQ(device.writes.front().port, 0x340);
    // The correction is a change: closing offers to save it.
    boxes.Answer(IDYES);
    EXPECT_TRUE(CloseAsks());
    CQuorixDoc back;
    ASSERT_EQ(back.Load(path), 1);
    EXPECT_EQ(back.Port().m_nIoIndex, 4);
    EXPECT_EQ(back.Port().m_nMemIndex, 6);
}

TEST_F(SetupDlgTest, DeletingAStationTakesItsBlocksAfterOneQuestion) {
    OpenPlant();
    Select(StationItem(0));
    dlg->OnDelete();  // answered No
    EXPECT_EQ(boxes.Ids(), std::vector<std::uint32_t>{2708});
    EXPECT_EQ(doc->Stations().size(), 4u);
    boxes.Clear();
    boxes.Answer(IDYES);
    Button(9008)->click();
    EXPECT_EQ(boxes.Ids(), std::vector<std::uint32_t>{2708});
    ASSERT_EQ(doc->Stations().size(), 3u);
    EXPECT_EQ(doc->Stations()[0]->m_strName, "PLC2");
    EXPECT_EQ(Tree()->topLevelItem(0)->childCount(), 3);
    // The neighbour below is selected and current.
    EXPECT_EQ(Tree()->currentItem(), StationItem(0));
    EXPECT_EQ(dlg->StationPage().CurrentStation(), doc->Stations()[0].get());
    EXPECT_TRUE(Enabled(9008));

    // A block: its own question; the last station's last block falls back to a sibling above.
    boxes.Clear();
    boxes.Answer(IDYES);
    Select(StationItem(0)->child(2));
    dlg->OnDelete();
    EXPECT_EQ(boxes.Ids(), std::vector<std::uint32_t>{2706});
    EXPECT_EQ(doc->Stations()[0]->m_blocks.size(), 2u);
    EXPECT_EQ(Tree()->currentItem(), StationItem(0)->child(1));
    EXPECT_EQ(dlg->StationPage().CurrentStation(), doc->Stations()[0].get());

    boxes.Clear();
    boxes.Answer(IDNO);
    EXPECT_TRUE(CloseAsks());
    EXPECT_EQ(ReadFile(path), "");
}

TEST_F(SetupDlgTest, BlocksAreAddedAndEditedWithinTheirStation) {
    OpenPlant();
    CStationInfo* pack = doc->Stations()[3].get();
    const int before = static_cast<int>(pack->m_blocks.size());
    Select(StationItem(3));
    scripts.push_back(AddBlock("d100", "5", "0.7"));
    Button(9010)->click();
    ASSERT_EQ(static_cast<int>(pack->m_blocks.size()), before + 1);
    CCommBlock* added = pack->m_blocks.back().get();
    EXPECT_EQ(added->m_strAddress, "D0100");
    EXPECT_EQ(added->m_nWordCount, 5);
    EXPECT_EQ(added->m_nPeriod, 699);
    EXPECT_EQ(added->m_nAreaCode, 0x112);  // Master K-250
    EXPECT_TRUE(StationItem(3)->isExpanded());
    EXPECT_EQ(Tree()->currentItem(), StationItem(3)->child(before));
    EXPECT_EQ(StationItem(3)->child(before)->text(0), "D0100, 05 Word");

    // A double-click on a block opens the block dialog for it, within its own station.
    StationItem(0)->setExpanded(true);
    QTreeWidgetItem* item = StationItem(0)->child(0);
    Select(item);
    scripts.push_back([&](QDialog& d) {
        auto& b = dynamic_cast<CCommBlockDlg&>(d);
        EXPECT_EQ(b.m_pEditAddress->text(), "D0100");
        b.m_pEditWords->setText("40");
        b.OkButton()->click();
    });
    QApplication::processEvents();  // lets the view lay out the unfolded items
    QRect rect = Tree()->visualItemRect(item);
    ASSERT_TRUE(rect.isValid());
    QTest::mouseClick(Tree()->viewport(), Qt::LeftButton, {}, rect.center());
    QTest::mouseDClick(Tree()->viewport(), Qt::LeftButton, {}, rect.center());
    EXPECT_EQ(subDialogs, 2);
    EXPECT_EQ(doc->Stations()[0]->m_blocks[0]->m_nWordCount, 40);
    EXPECT_EQ(item->text(0), "D0100, 40 Word");

    // Editing a station changes only its own item's text; its blocks stay.
    Select(StationItem(1));
    scripts.push_back([](QDialog& d) {
        auto& s = dynamic_cast<CStationDlg&>(d);
        s.m_pEditNo->setText("3");
        s.DescEdit()->clear();
        s.OkButton()->click();
    });
    dlg->OnEdit();
    EXPECT_EQ(StationItem(1)->text(0), QString::fromUtf8("PLC2 (03국) : "));
    EXPECT_EQ(StationItem(1)->childCount(), 3);
    EXPECT_EQ(StationItem(0)->text(0), QString::fromUtf8("PLC1 (01국) : 1라인 프레스"));

    // A cancelled sub-dialog changes nothing.
    scripts.push_back([](QDialog& d) { dynamic_cast<CRecordDialog&>(d).CancelButton()->click(); });
    Button(9009)->click();
    EXPECT_EQ(doc->Stations().size(), 4u);
}

// Pictures of each page and sub-dialog with the example plant, for the documentation.
TEST_F(SetupDlgTest, Screenshots) {
    QDir().mkpath(QX_SHOT_DIR);
    OpenPlant();
    StationItem(0)->setExpanded(true);
    Select(StationItem(0)->child(0));
    QApplication::processEvents();
    QPixmap stations = dlg->grab();
    EXPECT_TRUE(stations.save(QX_SHOT_DIR "/setup-stations.png"));
    // Every label clears its button's edges.
    for (QPushButton* b : dlg->findChildren<QPushButton*>())
        EXPECT_LE(QFontMetrics(b->font()).horizontalAdvance(b->text()) + 8, b->width())
            << b->text().toStdString();
    dlg->TabSheet().setCurrentIndex(1);
    QApplication::processEvents();
    EXPECT_TRUE(dlg->grab().save(QX_SHOT_DIR "/setup-board.png"));

    CStationDlg station(dlg.get(), doc.get(), doc->Stations()[0].get());
    station.show();
    QApplication::processEvents();
    EXPECT_TRUE(station.grab().save(QX_SHOT_DIR "/station-dialog.png"));
    CCommBlockDlg block(dlg.get(), doc.get(), doc->Stations()[0].get(),
                        doc->Stations()[0]->m_blocks[0].get());
    block.show();
    QApplication::processEvents();
    EXPECT_TRUE(block.grab().save(QX_SHOT_DIR "/block-dialog.png"));
    // Hangul must come out as glyphs, which needs a face that has them.
    EXPECT_TRUE(QFontInfo(dlg->font()).family().contains("Nanum"))
        << QFontInfo(dlg->font()).family().toStdString();
    EXPECT_EQ(stations.size(), QSize(364, 329));
}

// A handler already answering the seam (a test, a host) keeps answering.
TEST(GuiBoxesTest, LeaveAnInstalledHandlerInCharge) {
    BoxRecorder boxes;
    EXPECT_FALSE(TarvoInstallGuiBoxes());
    EXPECT_EQ(AfxMessageBox(2709, MB_YESNO), IDNO);
    EXPECT_EQ(boxes.Ids(), std::vector<std::uint32_t>{2709});
    TarvoRemoveGuiBoxes();
    EXPECT_EQ(AfxMessageBox(2713, MB_OK), IDOK);
    EXPECT_EQ(boxes.Ids().size(), 2u);
}

}  // namespace
