// A station that stops answering for a while and comes back: the driver reports it lost, then
// recovered, and its values flow again. Runs on the board's real 5 s time-out.
#include "driver_fixture.h"

namespace e2e {
namespace {

// Five blocks time out together, so one round of time-outs is the five failures that make the
// station lost. The station is silent for the first 8 s after the board comes up (at DrvStart):
// the first round (placed at once) and the second (placed after the first times out, about 5 s
// on) go unanswered; the third, placed at about 10 s, is answered.
const char kConfig[] = R"({
  "board": {"ioPort": "0x340", "memoryWindow": "0xD8000"},
  "stations": [
    {"name": "FLAKY", "cpu": "Master K-200", "stationNo": 3,
     "blocks": [{"address": "D0100", "words": 4, "periodMs": 200},
                {"address": "D0110", "words": 4, "periodMs": 200},
                {"address": "D0120", "words": 4, "periodMs": 200},
                {"address": "D0130", "words": 4, "periodMs": 200},
                {"address": "D0140", "words": 4, "periodMs": 200}]},
    {"name": "STEADY", "cpu": "Master K-200", "stationNo": 1,
     "blocks": [{"address": "D0000", "words": 4, "periodMs": 200}]}
  ]
})";

const char kScenario[] = R"({
  "stations": [
    {"name": "FLAKY", "number": 3, "cpu": "K-200", "memory": {"D0100": 77, "D0142": 1234},
     "silent": [{"fromMs": 0, "toMs": 8000}]},
    {"name": "STEADY", "number": 1, "cpu": "K-200", "memory": {"D0000": 5}}
  ]
})";

const char kTimeOut[] = "스테이션[FLAKY]과의 통신 중 수신 Time Out이 발생하였습니다.";
const char kLost[] = "스테이션[FLAKY]과 통신할 수 없습니다.";
const char kRecovered[] = "스테이션[FLAKY]과의 통신이 정상적으로 복구되었습니다.";

TEST_F(DriverTest, SilentStationIsReportedLostThenRecoveredAndDeliversAgain) {
    Boot(kConfig, kScenario);
    Tag("first", "DLU.FLAKY", "D0100", T_UINT16);
    Tag("last", "DLU.FLAKY", "D0142", T_UINT16);
    Tag("steady", "DLU.STEADY", "D0000", T_UINT16);
    Activate();
    EXPECT_TRUE(WaitValue("steady", 5));

    // Lost: five time-outs, then message 10 once.
    ASSERT_TRUE(WaitFor([&] { return messages_.Count(kLost, 0x102) == 1; }, 20000))
        << messages_.Dump() << service_.Log();
    EXPECT_EQ(messages_.Count(kTimeOut, 0x101), 5) << messages_.Dump();
    EXPECT_EQ(messages_.Count(kRecovered), 0) << "recovered before the silence ended";
    Module::Stats failing = Stats("FLAKY");
    EXPECT_EQ(failing.result, 1);
    EXPECT_GE(failing.readFailures, 5);
    EXPECT_EQ(Stats(nullptr).result, 1);
    EXPECT_EQ(Stats("STEADY").result, 0);
    EXPECT_FALSE(Value("first").IsSet());

    // Recovered: message 11 once on the first answer, and the values arrive.
    ASSERT_TRUE(WaitFor([&] { return messages_.Count(kRecovered, 0x102) == 1; }, 20000))
        << messages_.Dump() << service_.Log();
    EXPECT_TRUE(WaitValue("first", 77));
    EXPECT_TRUE(WaitValue("last", 1234));
    EXPECT_EQ(Stats("FLAKY").result, 0);
    EXPECT_EQ(Stats(nullptr).result, 0);

    // The silent second round stayed unreported: no more than five time-outs, one loss, one
    // recovery.
    EXPECT_EQ(messages_.Count(kTimeOut), 5) << messages_.Dump();
    EXPECT_EQ(messages_.Count(kLost), 1);
    EXPECT_EQ(messages_.Count(kRecovered), 1);
    EXPECT_EQ(Stats("STEADY").readFailures, 0);
}

}  // namespace
}  // namespace e2e
