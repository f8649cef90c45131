// The station and block dialogs: data exchange, the OK checks with their boxes and focus, the
// upper-casing edits and the up-down controls.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "config/address.h"
#include "config/records.h"
#include "framework/codepage.h"
#include "setup/dialog_texts.h"
#include "setup/subdialogs.h"
#include "setup_fixture.h"
#include "tarvosub/ui.h"

using namespace setuptest;

namespace {

QLineEdit* EditById(QWidget& w, int id) {
    auto* e = w.findChild<QLineEdit*>(QString::number(id));
    EXPECT_NE(e, nullptr) << "no edit " << id;
    return e;
}

class StationDlgTest : public ::testing::Test {
protected:
    void SetUp() override { doc = PlantDoc(TempDir() + "/plant.cfg"); }
    CStationInfo* Station(int i) { return doc->Stations()[i].get(); }
    // Fills the dialog as a user would and presses "등 록"; true if it closed with OK.
    bool Confirm(CStationDlg& dlg, const QString& name, const QString& number) {
        dlg.show();
        EditById(dlg, 9023)->setText(name);
        EditById(dlg, 9025)->setText(number);
        dlg.OkButton()->click();
        return dlg.result() == QDialog::Accepted;
    }
    std::unique_ptr<CQuorixDoc> doc;
    BoxRecorder boxes;
};

TEST_F(StationDlgTest, NameOfBlanksIsEmpty) {
    CStationDlg dlg(nullptr, doc.get(), nullptr);
    EXPECT_FALSE(Confirm(dlg, "   \t ", "9"));
    EXPECT_EQ(boxes.Ids(), std::vector<std::uint32_t>{2700});
    EXPECT_EQ(boxes.Boxes()[0].kind, CBoxRequest::error);
    EXPECT_EQ(dlg.focusWidget(), EditById(dlg, 9023));
}

TEST_F(StationDlgTest, NameTakenRegardlessOfCaseButOwnNameIsFine) {
    CStationDlg add(nullptr, doc.get(), nullptr);
    EXPECT_FALSE(Confirm(add, "pLc2", "9"));
    EXPECT_EQ(boxes.Ids(), std::vector<std::uint32_t>{2701});
    EXPECT_EQ(add.focusWidget(), EditById(add, 9023));

    boxes.Clear();
    CStationDlg edit(nullptr, doc.get(), Station(1));  // PLC2 keeps its name and number
    edit.show();
    edit.OkButton()->click();
    EXPECT_EQ(edit.result(), QDialog::Accepted);
    EXPECT_TRUE(boxes.Ids().empty());
    EXPECT_EQ(edit.m_strName, "PLC2");
    EXPECT_EQ(edit.m_nStationNo, 2);
    EXPECT_EQ(edit.m_nCpuType, 2);
    EXPECT_EQ(edit.m_strDesc, Station(1)->m_strDesc);
}

TEST_F(StationDlgTest, StationNumberChecks) {
    struct Case {
        const char* number;
        std::uint32_t box;
    } cases[] = {
        {"40", 2707},                              // passes the exchange, fails the 0..31 rule
        {"64", setupui::AFX_IDP_PARSE_INT_RANGE},  // the framework's range prompt
        {"-1", setupui::AFX_IDP_PARSE_INT_RANGE},
        {"1x", setupui::AFX_IDP_PARSE_INT},
        {"", setupui::AFX_IDP_PARSE_INT},
        {"5", 2702},  // BOILER has it, whatever the CPU type
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.number);
        boxes.Clear();
        CStationDlg dlg(nullptr, doc.get(), nullptr);
        EXPECT_FALSE(Confirm(dlg, "NEW", c.number));
        EXPECT_EQ(boxes.Ids(), std::vector<std::uint32_t>{c.box});
        EXPECT_EQ(dlg.focusWidget(), EditById(dlg, 9025));
    }
    boxes.Clear();
    CStationDlg dlg(nullptr, doc.get(), nullptr);
    EXPECT_TRUE(Confirm(dlg, "  NEW ", " 31 "));
    EXPECT_TRUE(boxes.Ids().empty());
    EXPECT_EQ(dlg.m_strName, "NEW");
    EXPECT_EQ(dlg.m_nStationNo, 31);
}

TEST_F(StationDlgTest, RangePromptNamesTheBounds) {
    CStationDlg dlg(nullptr, doc.get(), nullptr);
    Confirm(dlg, "NEW", "99");
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].text, Utf8ToCp949("0과 63 사이의 정수를 입력하십시오."));
}

TEST_F(StationDlgTest, NameIsUpperCasedAsTypedAndSpinStopsAtItsRange) {
    CStationDlg dlg(nullptr, doc.get(), nullptr);
    dlg.show();
    QLineEdit* name = EditById(dlg, 9023);
    QTest::keyClicks(name, "line3");
    EXPECT_EQ(name->text(), "LINE3");

    QLineEdit* number = EditById(dlg, 9025);
    EXPECT_EQ(number->text(), "0");
    dlg.m_pSpin->Step(-1);
    EXPECT_EQ(number->text(), "0");
    number->setText("30");
    QTest::keyClick(number, Qt::Key_Up);
    QTest::keyClick(number, Qt::Key_Up);
    EXPECT_EQ(number->text(), "31");
    EXPECT_EQ(dlg.CpuList()->count(), 4);
    EXPECT_EQ(dlg.CpuList()->itemText(0), "Master K-200 ");
}

class BlockDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        doc = PlantDoc(TempDir() + "/plant.cfg");
        // A station of its own with one block, D0100 of 10 words (words 100..109).
        auto s = std::make_unique<CStationInfo>();
        s->m_strName = "TEST";
        s->m_nStationNo = 20;
        auto b = std::make_unique<CCommBlock>();
        b->m_strAddress = "D0100";
        b->m_nWordCount = 10;
        b->m_nPeriod = 700;
        ParseBlockAddress(0, b->m_strAddress, b->m_nDevice, b->m_nStartWord, b->m_nAreaCode);
        s->m_blocks.push_back(std::move(b));
        station = s.get();
        doc->Stations().push_back(std::move(s));
    }
    bool Confirm(CCommBlockDlg& dlg, const QString& address, const QString& words,
                 const QString& period = "1") {
        dlg.show();
        EditById(dlg, 9028)->setText(address);
        EditById(dlg, 9029)->setText(words);
        EditById(dlg, 9031)->setText(period);
        dlg.OkButton()->click();
        return dlg.result() == QDialog::Accepted;
    }
    std::unique_ptr<CQuorixDoc> doc;
    CStationInfo* station = nullptr;
    BoxRecorder boxes;
};

TEST_F(BlockDlgTest, OverlapWithAnotherBlockOfTheStation) {
    struct Case {
        const char* address;
        const char* words;
        bool accepted;
    } cases[] = {
        {"D0105", "10", false}, {"D0095", "10", false}, {"D0090", "30", false},
        {"D0109", "1", false},  {"D0110", "10", true},  {"D0090", "10", true},
        {"M0010", "10", true},  // another device is never compared
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.address) + "/" + c.words);
        boxes.Clear();
        CCommBlockDlg dlg(nullptr, doc.get(), station, nullptr);
        EXPECT_EQ(Confirm(dlg, c.address, c.words), c.accepted);
        if (c.accepted) {
            EXPECT_TRUE(boxes.Ids().empty());
        } else {
            EXPECT_EQ(boxes.Ids(), std::vector<std::uint32_t>{2704});
            EXPECT_EQ(dlg.focusWidget(), EditById(dlg, 9028));
        }
    }
    // Another station's blocks are not compared: PLC1 has D0100 of 32 words.
    boxes.Clear();
    CCommBlockDlg other(nullptr, doc.get(), station, nullptr);
    EXPECT_TRUE(Confirm(other, "D0120", "5"));
}

TEST_F(BlockDlgTest, AddressAndRangeErrors) {
    {
        CCommBlockDlg dlg(nullptr, doc.get(), station, nullptr);
        EXPECT_FALSE(Confirm(dlg, "X100", "10"));
        EXPECT_EQ(boxes.Ids(), std::vector<std::uint32_t>{2703});
        EXPECT_EQ(dlg.focusWidget(), EditById(dlg, 9028));
    }
    boxes.Clear();
    {
        // D1020 + 10 words ends at 1029, beyond 1023 on a Master K-200.
        CCommBlockDlg dlg(nullptr, doc.get(), station, nullptr);
        EXPECT_FALSE(Confirm(dlg, "D1020", "10"));
        EXPECT_EQ(boxes.Ids(), std::vector<std::uint32_t>{2705});
        EXPECT_EQ(dlg.focusWidget(), EditById(dlg, 9029));
    }
    struct Case {
        const char* words;
        const char* period;
        std::uint32_t box;
        int focus;
    } prompts[] = {
        {"0", "1", setupui::AFX_IDP_PARSE_INT_RANGE, 9029},
        {"61", "1", setupui::AFX_IDP_PARSE_INT_RANGE, 9029},
        {"10", "1000", setupui::AFX_IDP_PARSE_REAL_RANGE, 9031},
        {"10", "-0.5", setupui::AFX_IDP_PARSE_REAL_RANGE, 9031},
        {"10", "fast", setupui::AFX_IDP_PARSE_REAL, 9031},
    };
    for (const Case& c : prompts) {
        SCOPED_TRACE(std::string(c.words) + " words, " + c.period + " s");
        boxes.Clear();
        CCommBlockDlg dlg(nullptr, doc.get(), station, nullptr);
        EXPECT_FALSE(Confirm(dlg, "D0200", c.words, c.period));
        EXPECT_EQ(boxes.Ids(), std::vector<std::uint32_t>{c.box});
        EXPECT_EQ(dlg.focusWidget(), EditById(dlg, c.focus));
    }
}

TEST_F(BlockDlgTest, AddressIsNormalisedAndPeriodConverted) {
    CCommBlockDlg dlg(nullptr, doc.get(), station, nullptr);
    dlg.show();
    QLineEdit* address = EditById(dlg, 9028);
    QTest::keyClicks(address, "d300");
    EXPECT_EQ(address->text(), "D300");  // upper case as typed
    EXPECT_EQ(EditById(dlg, 9029)->text(), "32");
    EXPECT_EQ(EditById(dlg, 9031)->text(), "1");
    EditById(dlg, 9031)->setText("0.7");
    dlg.OkButton()->click();
    ASSERT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(dlg.m_strAddress, "D0300");
    EXPECT_EQ(dlg.m_nDevice, DEV_D);
    EXPECT_EQ(dlg.m_nStartWord, 300);
    EXPECT_EQ(dlg.m_nAreaCode, 0x772);
    EXPECT_EQ(dlg.PeriodMs(), 699);  // the single-precision 0.7 lies just below 0.7

    for (auto [text, ms] : {std::pair{"1", 1000}, {"0.5", 500}, {"0", 0}, {"999.9", 999900}}) {
        CCommBlockDlg d(nullptr, doc.get(), station, nullptr);
        EXPECT_TRUE(Confirm(d, "D0500", "1", text)) << text;
        EXPECT_EQ(d.PeriodMs(), ms) << text;
    }
}

TEST_F(BlockDlgTest, UnchangedEditPassesAndKeepsItsPeriod) {
    CCommBlock* block = station->m_blocks[0].get();
    CCommBlockDlg dlg(nullptr, doc.get(), station, block);
    dlg.show();
    EXPECT_EQ(EditById(dlg, 9028)->text(), "D0100");
    EXPECT_EQ(EditById(dlg, 9029)->text(), "10");
    EXPECT_EQ(EditById(dlg, 9031)->text(), "0.7");
    dlg.OkButton()->click();
    ASSERT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_TRUE(boxes.Ids().empty());
    EXPECT_EQ(dlg.PeriodMs(), 700);

    // Typing a new period converts it; the block's own range is never an overlap.
    CCommBlockDlg changed(nullptr, doc.get(), station, block);
    EXPECT_TRUE(Confirm(changed, "D0105", "10", "0.9"));
    EXPECT_EQ(changed.PeriodMs(), 899);
}

TEST(FloatSpinCtrlTest, StepsTenthsWithinRange) {
    QLineEdit edit;
    edit.setGeometry(0, 0, 60, 20);
    CFloatSpinCtrl spin;
    spin.setGeometry(0, 0, 13, 20);
    spin.SetBuddy(&edit);
    spin.SetDeltaInc(0.1f, 1);
    spin.SetRange(0.0f, 999.9f);
    EXPECT_EQ(edit.width(), 47);  // the up-down takes the buddy's right edge
    edit.setText("0.7");
    for (int i = 0; i < 3; ++i) spin.Step(+1);
    EXPECT_EQ(edit.text(), "1");
    spin.Step(-1);
    EXPECT_EQ(edit.text(), "0.9");
    edit.setText("0.05");
    spin.Step(-1);
    EXPECT_EQ(edit.text(), "0");
    edit.setText("999.85");
    spin.Step(+1);
    spin.Step(+1);
    EXPECT_EQ(edit.text(), "999.9");
}

}  // namespace
