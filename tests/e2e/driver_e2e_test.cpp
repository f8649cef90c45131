// The driver module on the simulated plant, through the I/O service's socket.
#include <limits>
#include <thread>

#include "driver_fixture.h"

namespace e2e {
namespace {

const char kConfig[] = R"({
  "board": {"ioPort": "0x340", "memoryWindow": "0xD8000"},
  "stations": [
    {"name": "LINE", "description": "1라인 프레스", "cpu": "Master K-200", "stationNo": 1,
     "blocks": [{"address": "D0100", "words": 32, "periodMs": 200},
                {"address": "M0000", "words": 4, "periodMs": 200}]},
    {"name": "SPARE", "description": "예비", "cpu": "Master K-500", "stationNo": 2,
     "blocks": [{"address": "D2000", "words": 10, "periodMs": 200}]}
  ]
})";

// D0125..D0128: -2, BCD 1234, the float 2.5 (0x40200000, low word first); M0000 bit 3 set;
// outside the blocks D0400..D0401 hold 0x12345678 and D0402 holds 9.
const char kScenario[] = R"({
  "board": {"port": "0x340", "window": "0xD8000"},
  "stations": [
    {"name": "LINE", "number": 1, "cpu": "K-200",
     "memory": {"D0120": "HELLO", "D0125": [-2, 4660, 0, 16416], "M0000": 8,
                "D0400": [22136, 4660, 9]},
     "generators": [{"address": "D0100", "kind": "counter", "periodMs": 100},
                    {"address": "D0200", "kind": "counter", "periodMs": 100}]},
    {"name": "SPARE", "number": 2, "cpu": "K-500", "memory": {"D2000": 7}}
  ]
})";

TEST_F(DriverTest, BlockAndGroupValuesArriveDecodedAndKeepChanging) {
    Boot(kConfig, kScenario);
    EXPECT_EQ(Tag("count", "DLU.LINE", "D0100", T_UINT16), 0);  // first tag of the first block
    Tag("outside", "DLU.LINE", "D0200", T_UINT16);
    Tag("neg", "DLU.LINE", "D0125", T_SINT16);
    Tag("negRaw", "DLU.LINE", "D0125", T_UINT16);
    Tag("bcd", "DLU.LINE", "D0126", T_BCD16);
    Tag("float", "DLU.LINE", "D0127", T_FLOAT, 4);
    Tag("text", "DLU.LINE", "D0120", T_STRING, 5);
    Tag("bit3", "DLU.LINE", "M0003", T_BIT, 1);
    Tag("bit4", "DLU.LINE", "M0004", T_BIT, 1);
    Tag("spare", "SPARE", "D2000", T_SINT16);
    Tag("far32", "DLU.LINE", "D0400", T_SINT32, 4);  // two words outside the blocks
    Tag("farNext", "DLU.LINE", "D0402", T_UINT16);
    for (auto& [name, h] : handles_) EXPECT_GE(h, 0) << name;
    // The tag outside every block is announced and read in a group request.
    EXPECT_EQ(messages_.Count(
                  "태그[outside]의 어드레스가 통신블록에 등록되지 않아 개별 통신합니다.", 0x101),
              1)
        << messages_.Dump();
    Activate();

    EXPECT_TRUE(WaitValue("neg", -2));
    EXPECT_TRUE(WaitValue("negRaw", 65534));
    EXPECT_TRUE(WaitValue("bcd", 1234));
    EXPECT_TRUE(WaitValue("float", 2.5));
    EXPECT_TRUE(WaitValue("bit3", 1));
    EXPECT_TRUE(WaitValue("bit4", 0));
    EXPECT_TRUE(WaitValue("spare", 7));
    EXPECT_TRUE(WaitValue("far32", 0x12345678));  // both of its own words, not a neighbour's
    EXPECT_TRUE(WaitValue("farNext", 9));
    EXPECT_TRUE(WaitFor([&] { return IsText("text", "HELLO"); })) << Value("text").Describe();
    // Counters in the PLC: the block and the group deliver each new value.
    EXPECT_TRUE(WaitFor([&] { return DistinctValues("count") >= 3; }));
    EXPECT_TRUE(WaitFor([&] { return DistinctValues("outside") >= 3; }));
    Write("far32", -2);
    EXPECT_TRUE(WaitValue("far32", -2));
    EXPECT_TRUE(WaitValue("farNext", 9));
    EXPECT_EQ(messages_.Count("통신시작", 0x102), 1) << messages_.Dump();
    EXPECT_EQ(messages_.Count("통신포트 초기화 완료", 0x102), 1);
}

TEST_F(DriverTest, WritesOfEveryTypeLandInPlcMemory) {
    Boot(kConfig, kScenario);
    // Each written tag has a raw UINT16 twin on its word(s), to see the bytes the PLC holds.
    Tag("s16", "DLU.LINE", "D0104", T_SINT16);
    Tag("s16Raw", "DLU.LINE", "D0104", T_UINT16);
    Tag("u16", "DLU.LINE", "D0105", T_UINT16);
    Tag("s32", "DLU.LINE", "D0106", T_SINT32, 4);
    Tag("s32Lo", "DLU.LINE", "D0106", T_UINT16);
    Tag("s32Hi", "DLU.LINE", "D0107", T_UINT16);
    Tag("flt", "DLU.LINE", "D0108", T_FLOAT, 4);
    Tag("fltHi", "DLU.LINE", "D0109", T_UINT16);
    Tag("bcd", "DLU.LINE", "D0110", T_BCD16);
    Tag("bcdRaw", "DLU.LINE", "D0110", T_UINT16);
    Tag("sbcd", "DLU.LINE", "D0111", T_SBCD16);
    Tag("sbcdRaw", "DLU.LINE", "D0111", T_UINT16);
    Tag("bit", "DLU.LINE", "D0112.4", T_BIT, 1);
    Tag("bitRaw", "DLU.LINE", "D0112", T_UINT16);
    Tag("str", "DLU.LINE", "D0113", T_STRING, 4);
    Tag("strRaw", "DLU.LINE", "D0113", T_UINT16);
    Tag("s8", "DLU.LINE", "D0115", T_SINT8, 1);
    Tag("s8Raw", "DLU.LINE", "D0115", T_UINT16);
    Tag("u32", "DLU.LINE", "D0116", T_UINT32, 4);
    Tag("sbcd8", "DLU.LINE", "D0118", T_SBCD8, 1);
    Tag("bcd8", "DLU.LINE", "D0119", T_BCD8, 1);
    Tag("bcd8Raw", "DLU.LINE", "D0119", T_UINT16);
    Tag("u8", "DLU.LINE", "D0123", T_UINT8, 1);
    Tag("bcd32", "DLU.LINE", "D0125", T_BCD32, 4);
    Tag("bcd32Lo", "DLU.LINE", "D0125", T_UINT16);
    Tag("bcd32Hi", "DLU.LINE", "D0126", T_UINT16);
    Tag("sbcd32", "DLU.LINE", "D0129", T_SBCD32, 4);
    Tag("sbcd32Hi", "DLU.LINE", "D0130", T_UINT16);
    Tag("mbit", "DLU.LINE", "M0015", T_BIT, 1);  // word 1, bit 5
    Tag("mRaw", "DLU.LINE", "M0001", T_UINT16);
    Tag("group", "DLU.LINE", "D0300", T_SINT16);  // outside the blocks
    Activate();
    ASSERT_TRUE(WaitValue("s16Raw", 0));  // first poll done: everything delivered once

    Write("s16", -1234);
    Write("u16", 54321);
    Write("s32", -100000);
    Write("flt", 1.5);
    Write("bcd", 4321);
    Write("sbcd", -123);
    Write("bit", 1);
    WriteText("str", "QX");
    Write("s8", -5);
    Write("u32", 3000000000.0);
    Write("sbcd8", -7);
    Write("bcd8", 42);
    Write("u8", 200);
    Write("bcd32", 12345678);
    Write("sbcd32", -5);
    Write("mbit", 1);
    Write("group", 777);

    EXPECT_TRUE(WaitValue("s16", -1234));
    EXPECT_TRUE(WaitValue("s16Raw", 64302));
    EXPECT_TRUE(WaitValue("u16", 54321));
    EXPECT_TRUE(WaitValue("s32", -100000));
    EXPECT_TRUE(WaitValue("s32Lo", 0x7960));
    EXPECT_TRUE(WaitValue("s32Hi", 0xFFFE));
    EXPECT_TRUE(WaitValue("flt", 1.5));
    EXPECT_TRUE(WaitValue("fltHi", 0x3FC0));
    EXPECT_TRUE(WaitValue("bcd", 4321));
    EXPECT_TRUE(WaitValue("bcdRaw", 0x4321));
    EXPECT_TRUE(WaitValue("sbcd", -123));
    EXPECT_TRUE(WaitValue("sbcdRaw", 0x8123));
    EXPECT_TRUE(WaitValue("bit", 1));
    EXPECT_TRUE(WaitValue("bitRaw", 0x0010));
    EXPECT_TRUE(WaitFor([&] { return IsText("str", "QX"); })) << Value("str").Describe();
    EXPECT_TRUE(WaitValue("strRaw", 'Q' | 'X' << 8));
    EXPECT_TRUE(WaitValue("s8", -5));
    EXPECT_TRUE(WaitValue("s8Raw", 0xFFFB));  // a byte type writes the whole word
    EXPECT_TRUE(WaitValue("u32", 3000000000.0));
    EXPECT_TRUE(WaitValue("sbcd8", -7));
    EXPECT_TRUE(WaitValue("bcd8", 42));
    EXPECT_TRUE(WaitValue("bcd8Raw", 0x42));
    EXPECT_TRUE(WaitValue("u8", 200));
    EXPECT_TRUE(WaitValue("bcd32", 12345678));
    EXPECT_TRUE(WaitValue("bcd32Lo", 0x5678));
    EXPECT_TRUE(WaitValue("bcd32Hi", 0x1234));
    EXPECT_TRUE(WaitValue("sbcd32", -5));
    EXPECT_TRUE(WaitValue("sbcd32Hi", 0x8000));
    EXPECT_TRUE(WaitValue("mbit", 1));
    EXPECT_TRUE(WaitValue("mRaw", 0x0020));
    EXPECT_TRUE(WaitValue("group", 777));

    // A bit write changes its bit alone.
    Write("bitRaw", 0xFFFF);
    ASSERT_TRUE(WaitValue("bitRaw", 0xFFFF));
    Write("bit", 0);
    EXPECT_TRUE(WaitValue("bitRaw", 0xFFEF));
    EXPECT_TRUE(WaitValue("bit", 0));

    Module::Stats line = Stats("LINE");
    EXPECT_GE(line.writes, 19);
    EXPECT_EQ(line.writeFailures, 0);
    EXPECT_EQ(line.result, 0);
}

TEST_F(DriverTest, DisabledStationIsNeitherPolledNorWrittenUntilEnabled) {
    Boot(kConfig, kScenario);
    Tag("count", "DLU.LINE", "D0100", T_UINT16);
    Tag("set", "DLU.LINE", "D0104", T_SINT16);
    Tag("spare", "DLU.SPARE", "D2000", T_SINT16);
    Activate();
    ASSERT_TRUE(WaitValue("set", 0));
    ASSERT_TRUE(WaitValue("spare", 7));

    module_.SetActive(index_, "line", 0);  // station names are found in any case here
    EXPECT_EQ(Stats("LINE").result, -1);
    // Let a request already under way come back, then the counters must stand still while
    // the other station goes on.
    std::int32_t spare0 = Stats("SPARE").reads;
    ASSERT_TRUE(WaitFor([&] { return Stats("SPARE").reads >= spare0 + 3; }));
    std::int32_t lineReads = Stats("LINE").reads;
    std::uint64_t countUpdates = Updates("count");
    Write("set", 99);  // dropped: the station is disabled
    spare0 = Stats("SPARE").reads;
    ASSERT_TRUE(WaitFor([&] { return Stats("SPARE").reads >= spare0 + 5; }));
    EXPECT_EQ(Stats("LINE").reads, lineReads);
    EXPECT_EQ(Updates("count"), countUpdates);
    EXPECT_EQ(Stats("LINE").writes, 0);

    module_.SetActive(index_, "LINE", 1);
    EXPECT_TRUE(WaitFor([&] { return Stats("LINE").reads > lineReads + 2; }));
    EXPECT_TRUE(WaitFor([&] { return Updates("count") > countUpdates; }));
    EXPECT_EQ(Stats("LINE").result, 0);
    EXPECT_TRUE(Is("set", 0)) << "the write made while disabled must not land";
    Write("set", 42);
    EXPECT_TRUE(WaitValue("set", 42));
}

TEST_F(DriverTest, StopAndStartAgainDeliversEverythingAfresh) {
    Boot(kConfig, kScenario);
    Tag("count", "DLU.LINE", "D0100", T_UINT16);
    Tag("spare", "DLU.SPARE", "D2000", T_SINT16);
    Activate();
    ASSERT_TRUE(WaitValue("spare", 7));
    EXPECT_EQ(Stats(nullptr).result, 0);

    module_.SetActive(index_, nullptr, 0);
    EXPECT_EQ(messages_.Count("통신종료", 0x102), 1) << messages_.Dump();
    EXPECT_EQ(Stats(nullptr).result, -1);  // not running
    std::uint64_t spareUpdates = Updates("spare");
    std::int32_t reads = Stats(nullptr).reads;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // several poll periods
    EXPECT_EQ(Stats(nullptr).reads, reads);

    module_.SetActive(index_, nullptr, 1);
    EXPECT_EQ(messages_.Count("통신시작", 0x102), 2);
    // The unchanged value comes again: a start clears every frame's image.
    EXPECT_TRUE(WaitFor([&] { return Updates("spare") > spareUpdates; }));
    EXPECT_TRUE(WaitFor([&] { return Stats(nullptr).reads > reads; }));

    // DrvStop, then communication once more.
    EXPECT_EQ(module_.Stop(index_), 0);
    EXPECT_EQ(Stats(nullptr).result, -1);
    std::size_t seen = DistinctValues("count");
    module_.SetActive(index_, nullptr, 1);
    EXPECT_TRUE(WaitFor([&] { return DistinctValues("count") >= seen + 2; }));
    EXPECT_EQ(Stats(nullptr).result, 0);

    // The service goes away: message 12, and every station is failing, not fine, until the host
    // starts anew.
    service_.Stop();
    EXPECT_TRUE(WaitFor([&] {
        return messages_.Count("[VURAVO-V OZI] TVIOCTRL 드라이버를 Load 할 수 없습니다.", 0x100) ==
               1;
    })) << messages_.Dump();
    EXPECT_EQ(Stats("LINE").result, 1);
    EXPECT_EQ(Stats(nullptr).result, 1);
}

TEST_F(DriverTest, StatisticsCountPerStationAndInTotal) {
    Boot(kConfig, kScenario);
    Tag("count", "DLU.LINE", "D0100", T_UINT16);
    Tag("spare", "DLU.SPARE", "D2000", T_SINT16);
    Activate();
    ASSERT_TRUE(WaitFor([&] { return Stats("LINE").reads >= 5 && Stats("SPARE").reads >= 5; }));
    Write("spare", 8);
    ASSERT_TRUE(WaitValue("spare", 8));

    module_.SetActive(index_, nullptr, 0);  // figures stand still from here
    Module::Stats line = Stats("LINE"), spare = Stats("SPARE");
    EXPECT_EQ(line.result, 0);
    EXPECT_EQ(line.readFailures, 0);
    EXPECT_EQ(spare.writes, 1);
    EXPECT_EQ(spare.writeFailures, 0);
    EXPECT_EQ(line.writes, 0);
    Module::Stats all = Stats(nullptr, 5);  // the total is added to what the caller holds
    EXPECT_EQ(all.reads, 5 + line.reads + spare.reads);
    EXPECT_EQ(all.writes, 5 + 1);
    EXPECT_EQ(all.readFailures, 5);
    // A sum that would pass the outputs' range stops at its limit.
    const std::int32_t top = std::numeric_limits<std::int32_t>::max();
    EXPECT_EQ(Stats(nullptr, top - 1).reads, top);
    EXPECT_EQ(Stats(nullptr, top - 1).readFailures, top - 1);
    EXPECT_EQ(Stats("NOSUCH").result, -1);

    std::string number = "x", desc = "y";
    module_.Fn<drv::GetStationInfoFn>(drv::kGetStationInfo)(index_, "spare", &number, &desc);
    EXPECT_EQ(number, "02");
    EXPECT_EQ(desc, Utf8ToCp949("예비"));
    number = "x";
    module_.Fn<drv::GetStationInfoFn>(drv::kGetStationInfo)(index_, "NOSUCH", &number, &desc);
    EXPECT_EQ(number, "x");

    module_.ResetStatistics(index_, "LINE");
    EXPECT_EQ(Stats("LINE").reads, 0);
    EXPECT_EQ(Stats("SPARE").reads, spare.reads);
    module_.ResetStatistics(index_, nullptr);
    Module::Stats cleared = Stats(nullptr);
    EXPECT_EQ(cleared.reads + cleared.writes + cleared.readFailures + cleared.writeFailures, 0);
}

const char kFaultConfig[] = R"({
  "stations": [
    {"name": "LINE", "cpu": "Master K-200", "stationNo": 1,
     "blocks": [{"address": "D0100", "words": 4, "periodMs": 200}]},
    {"name": "GHOST", "cpu": "Master K-250", "stationNo": 7,
     "blocks": [{"address": "D0000", "words": 4, "periodMs": 200},
                {"address": "D0010", "words": 4, "periodMs": 200},
                {"address": "D0020", "words": 4, "periodMs": 200},
                {"address": "D0030", "words": 4, "periodMs": 200},
                {"address": "D0040", "words": 4, "periodMs": 200}]},
    {"name": "GRUMPY", "cpu": "Master K-500", "stationNo": 9,
     "blocks": [{"address": "D0000", "words": 4, "periodMs": 200}]}
  ]
})";

const char kFaultScenario[] = R"({
  "stations": [
    {"name": "LINE", "number": 1, "cpu": "K-200", "memory": {"D0100": 11}},
    {"name": "GHOST", "number": 7, "cpu": "K-250", "absent": true},
    {"name": "GRUMPY", "number": 9, "cpu": "K-500", "errorNumber": 33}
  ]
})";

TEST_F(DriverTest, SilentAndErringStationsAreCountedAndReported) {
    Boot(kFaultConfig, kFaultScenario);
    Tag("ok", "DLU.LINE", "D0100", T_UINT16);
    Tag("ghost", "DLU.GHOST", "D0000", T_UINT16);
    Tag("grumpy", "DLU.GRUMPY", "D0000", T_UINT16);
    Activate();
    EXPECT_TRUE(WaitValue("ok", 11));

    // Error answers: message 8 with the number in hexadecimal, then lost after five.
    EXPECT_TRUE(WaitFor([&] {
        return messages_.Count("스테이션[GRUMPY]로부터 에러번호[21]를 수신받았습니다.", 0x101) >= 1;
    })) << messages_.Dump();
    EXPECT_TRUE(WaitFor(
        [&] { return messages_.Count("스테이션[GRUMPY]과 통신할 수 없습니다.", 0x102) == 1; }));

    // Silence: time-outs after 5 s each, then the station is reported lost.
    EXPECT_TRUE(WaitFor(
        [&] {
            return messages_.Count("스테이션[GHOST]과의 통신 중 수신 Time Out이 발생하였습니다.",
                                   0x101) >= 1;
        },
        20000))
        << messages_.Dump();
    EXPECT_TRUE(WaitFor(
        [&] { return messages_.Count("스테이션[GHOST]과 통신할 수 없습니다.", 0x102) == 1; },
        40000))
        << messages_.Dump();

    Module::Stats ghost = Stats("GHOST"), grumpy = Stats("GRUMPY"), line = Stats("LINE");
    EXPECT_EQ(ghost.result, 1);
    EXPECT_GE(ghost.readFailures, 5);
    EXPECT_EQ(grumpy.result, 1);
    EXPECT_GE(grumpy.readFailures, 5);
    EXPECT_EQ(line.result, 0);
    EXPECT_EQ(line.readFailures, 0);
    EXPECT_FALSE(Value("ghost").IsSet());
    EXPECT_FALSE(Value("grumpy").IsSet());
    EXPECT_EQ(Stats(nullptr).result, 1);  // one enabled station failing is enough

    // Failing stations stay failing across a statistics reset; a disabled one no longer counts.
    module_.ResetStatistics(index_, nullptr);
    EXPECT_EQ(Stats("GHOST").result, 1);
    module_.SetActive(index_, "GHOST", 0);
    module_.SetActive(index_, "GRUMPY", 0);
    EXPECT_EQ(Stats(nullptr).result, 0);
    EXPECT_EQ(messages_.Count("복구"), 0);
}

TEST_F(DriverTest, RegistrationRefusesUnknownStationsAndBadAddresses) {
    Boot(kConfig, kScenario);
    EXPECT_EQ(Tag("noStation", "DLU.NOWHERE", "D0100", T_UINT16), -1);
    EXPECT_EQ(messages_.Count("태그[noStation]에 설정된 I/O 디바이스[DLU.NOWHERE]가 "
                              "통신드라이버에 등록되지 않았습니다.",
                              0x100),
              1)
        << messages_.Dump();
    // Registration compares station names exactly.
    EXPECT_EQ(Tag("lower", "DLU.line", "D0100", T_UINT16), -1);
    EXPECT_EQ(Tag("badAddr", "DLU.LINE", "D1024", T_UINT16), -1);  // K-200 ends at D1023
    EXPECT_EQ(messages_.Count("태그[badAddr]의 I/O 어드레스[D1024]가 잘못 설정되었습니다.", 0x100),
              1);
    EXPECT_EQ(Tag("badBit", "DLU.LINE", "D0100.16", T_BIT, 1), -1);
    // Bare station names work as well as prefixed ones, and the handles differ.
    std::int32_t a = Tag("bare", "LINE", "D0101", T_UINT16);
    std::int32_t b = Tag("prefixed", "X.LINE", "D0102", T_UINT16);
    EXPECT_GE(a, 0);
    EXPECT_GE(b, 0);
    EXPECT_NE(a, b);
}

TEST_F(DriverTest, OpenOfMissingFileReportsMessage4) {
    std::string path = dir_ / "missing.cfg";
    EXPECT_EQ(module_.Open(path), -1);
    auto all = messages_.All();
    ASSERT_EQ(all.size(), 1u) << messages_.Dump();
    EXPECT_EQ(all[0].classWord, 0x100);
    EXPECT_EQ(all[0].text,
              Utf8ToCp949("[VURAVO-V OZI] 지정된 파일[" + path + "]을 열 수 없습니다."));
}

TEST_F(DriverTest, StartWithoutServiceReportsMessage12) {
    std::string error;
    ASSERT_TRUE(MakeConfig(kConfig, dir_ / "plant.cfg", error)) << error;
    index_ = module_.Open(dir_ / "plant.cfg");
    ASSERT_GE(index_, 0);
    EXPECT_EQ(module_.Start(index_), -12);
    EXPECT_EQ(messages_.Count("[VURAVO-V OZI] TVIOCTRL 드라이버를 Load 할 수 없습니다.", 0x100), 1)
        << messages_.Dump();
    // No board handle: statistics answer 1 and leave the outputs alone.
    Module::Stats s = Stats("LINE", 77);
    EXPECT_EQ(s.result, 1);
    EXPECT_EQ(s.reads, 77);
    // Registration still works and activation does nothing harmful.
    EXPECT_GE(Tag("count", "DLU.LINE", "D0100", T_UINT16), 0);
    Activate();
    EXPECT_EQ(messages_.Count("통신시작"), 0);

    // With the service there, a window where the board's memory is not reads only 0xFF: the
    // start fails with message 13 instead of reporting a ready board whose requests all fail.
    std::string config = kConfig;
    config.replace(config.find("0xD8000"), 7, "0xC0000");
    ASSERT_TRUE(MakeConfig(config, dir_ / "wrong.cfg", error)) << error;
    ASSERT_TRUE(service_.Start(dir_.Path(), kScenario, error)) << error;
    const std::int32_t wrong = module_.Open(dir_ / "wrong.cfg");
    EXPECT_EQ(module_.Start(wrong), -13);
    EXPECT_EQ(messages_.Count("Base 어드레스를 Mapping 할 수 없습니다.", 0x100), 1)
        << messages_.Dump();
    module_.Stop(wrong);
}

TEST_F(DriverTest, InvalidIndexesAreRefusedQuietly) {
    Boot(kConfig, kScenario);
    // The array only grows, so the index after the newest instance is the first invalid one.
    for (std::int32_t bad : {index_ + 1, -1, 1 << 20}) {
        std::size_t before = messages_.All().size();
        EXPECT_EQ(module_.Start(bad), 0);
        EXPECT_EQ(module_.EndRegistration(bad), 0);
        EXPECT_EQ(module_.Stop(bad), 0);
        EXPECT_EQ(module_.Register(bad, "DLU.LINE", "D0100", T_UINT16, 2, 1), -1);
        CTagVal v;
        v.SetVal(1.0);
        EXPECT_EQ(module_.Write(bad, 0, v), 0);
        Module::Stats s = module_.Statistics(bad, nullptr, 3);
        EXPECT_EQ(s.result, -1);
        EXPECT_EQ(s.reads, 3);
        module_.SetActive(bad, nullptr, 1);
        module_.ResetStatistics(bad, nullptr);
        std::string number = "n", desc = "d";
        module_.Fn<drv::GetStationInfoFn>(drv::kGetStationInfo)(bad, "LINE", &number, &desc);
        EXPECT_EQ(number, "n");
        EXPECT_EQ(messages_.All().size(), before) << "index " << bad;
    }
    // Out-of-range handles on a valid index are dropped without harm.
    Tag("count", "DLU.LINE", "D0100", T_UINT16);
    Activate();
    CTagVal v;
    v.SetVal(5.0);
    EXPECT_EQ(module_.Write(index_, 0x7FFF0000, v), 0);
    EXPECT_EQ(module_.Write(index_, 0x0000FFFF, v), 0);
    EXPECT_EQ(module_.Write(index_, -1, v), 0);
    EXPECT_TRUE(WaitFor([&] { return Value("count").IsSet(); }));
    EXPECT_EQ(Stats("LINE").writes, 0);
}

}  // namespace
}  // namespace e2e
