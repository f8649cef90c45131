// Station records: display texts, statistics, and the failure reporting sequence.
#include <gtest/gtest.h>

#include "config/doc.h"
#include "config/records.h"
#include "test_support.h"

namespace {

std::string Prefixed(const char* utf8) { return "[VURAVO-V OZI] " + K(utf8); }

}  // namespace

TEST(Station, DisplayTexts) {
    CStationInfo s;
    s.m_strName = "PLC1";
    s.m_nStationNo = 3;
    s.m_strDesc = "Line 1";
    std::string text;
    s.GetDisplayText(text);
    EXPECT_EQ(text, "PLC1 (03" + K("국") + ") : Line 1");
    std::string number, desc;
    s.m_nStationNo = 7;
    s.GetInfo(number, desc);
    EXPECT_EQ(number, "07");
    EXPECT_EQ(desc, "Line 1");
    CCommBlock b;
    EXPECT_EQ(b.m_nWordCount, 32);
    EXPECT_EQ(b.m_nPeriod, 1000);
    b.m_strAddress = "D0100";
    b.GetDisplayText(text);
    EXPECT_EQ(text, "D0100, 32 Word");
    b.m_nWordCount = 5;
    b.GetDisplayText(text);
    EXPECT_EQ(text, "D0100, 05 Word");
}

TEST(Station, StatisticsAndResets) {
    CStationInfo s;
    s.ResetStatus();
    s.m_nWriteRequests = 4;
    s.m_nWriteFailures = 1;
    s.m_nReadRequests = 9;
    s.m_nReadFailures = 2;
    std::int32_t c[4];
    EXPECT_EQ(s.GetStatistics(c[0], c[1], c[2], c[3]), 0);
    EXPECT_EQ(c[0] + c[1] * 10 + c[2] * 100 + c[3] * 1000, 4 + 10 + 900 + 2000);
    s.m_nFailures = 2;
    EXPECT_EQ(s.GetStatistics(c[0], c[1], c[2], c[3]), 1);
    s.ResetCounters();  // keeps the station failing
    EXPECT_EQ(s.GetStatistics(c[0], c[1], c[2], c[3]), 1);
    EXPECT_EQ(c[0] + c[1] + c[2] + c[3], 0);
    s.m_nEnabled = 0;
    EXPECT_EQ(s.GetStatistics(c[0], c[1], c[2], c[3]), -1);
    s.ResetStatus();
    EXPECT_EQ(s.GetStatistics(c[0], c[1], c[2], c[3]), 0);
}

TEST(Station, FiveFailuresThenLostThenSilence) {
    MessageCapture cap;
    CStationInfo s;
    s.m_strName = "PLC1";
    s.ResetStatus();
    for (int i = 0; i < 7; ++i) s.ReportStatus(7, nullptr);
    ASSERT_EQ(cap.messages.size(), 6u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(cap.messages[i].classWord, 0x101);
        EXPECT_EQ(cap.messages[i].value, 3);
        EXPECT_EQ(cap.messages[i].text,
                  Prefixed("스테이션[PLC1]과의 통신 중 수신 Time Out이 발생하였습니다."));
    }
    EXPECT_EQ(cap.messages[5].classWord, 0x102);
    EXPECT_EQ(cap.messages[5].text, Prefixed("스테이션[PLC1]과 통신할 수 없습니다."));
    EXPECT_EQ(s.m_nFailures.load(), 5);

    s.ReportStatus(0, nullptr);  // recovery after five
    ASSERT_EQ(cap.messages.size(), 7u);
    EXPECT_EQ(cap.messages[6].classWord, 0x102);
    EXPECT_EQ(cap.messages[6].text,
              Prefixed("스테이션[PLC1]과의 통신이 정상적으로 복구되었습니다."));
    EXPECT_EQ(s.m_nFailures.load(), 0);
}

TEST(Station, ErrorNumbersAndSilentRecoveryBeforeFive) {
    MessageCapture cap;
    CStationInfo s;
    s.m_strName = "P2";
    s.ResetStatus();
    for (int i = 0; i < 3; ++i) s.ReportStatus(8, "1A");
    ASSERT_EQ(cap.messages.size(), 3u);
    EXPECT_EQ(cap.messages[0].text, Prefixed("스테이션[P2]로부터 에러번호[1A]를 수신받았습니다."));
    s.ReportStatus(0, nullptr);
    EXPECT_EQ(cap.messages.size(), 3u);
    EXPECT_EQ(s.m_nFailures.load(), 0);
}

TEST(Document, StationLookupAndChecks) {
    CQuorixDoc doc;
    for (auto [name, no] : {std::pair{"Station1", 1}, std::pair{"PLC2", 2}}) {
        auto s = std::make_unique<CStationInfo>();
        s->m_strName = name;
        s->m_nStationNo = no;
        doc.Stations().push_back(std::move(s));
    }
    CStationInfo* first = doc.Stations()[0].get();
    EXPECT_EQ(doc.FindStation("STATION1"), first);
    EXPECT_EQ(doc.FindStation(nullptr), nullptr);
    EXPECT_EQ(doc.FindStation("PLC"), nullptr);
    EXPECT_EQ(doc.CheckStationName("plc2", nullptr), 2701);
    EXPECT_EQ(doc.CheckStationName("plc2", doc.Stations()[1].get()), 0);
    EXPECT_EQ(doc.CheckStationName("PLC3", nullptr), 0);
    // Only single-byte letters fold: 갵 (81 61) is not 갂 (81 41), while 갂a is 갂A.
    doc.Stations()[1]->m_strName =
        "\x81\x41"
        "a";
    EXPECT_EQ(doc.FindStation("\x81\x61"
                              "a"),
              nullptr);
    EXPECT_EQ(doc.CheckStationName("\x81\x61"
                                   "a",
                                   nullptr),
              0);
    EXPECT_EQ(doc.FindStation("\x81\x41"
                              "A"),
              doc.Stations()[1].get());
    EXPECT_EQ(doc.CheckStationName("\x81\x41"
                                   "A",
                                   nullptr),
              2701);
    EXPECT_EQ(doc.CheckStationNo(40, nullptr), 2707);
    EXPECT_EQ(doc.CheckStationNo(-1, nullptr), 2707);
    EXPECT_EQ(doc.CheckStationNo(2, nullptr), 2702);
    EXPECT_EQ(doc.CheckStationNo(2, doc.Stations()[1].get()), 0);
    EXPECT_EQ(doc.CheckStationNo(31, nullptr), 0);
}
