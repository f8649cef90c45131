// The engine's life through the module's entries, on the service and the simulated board:
// a second start while running, unloading while running, entries before any start.
#include <atomic>
#include <thread>

#include "driver_fixture.h"

namespace e2e {
namespace {

const char kConfig[] = R"({
  "board": {"ioPort": "0x340", "memoryWindow": "0xD8000"},
  "stations": [
    {"name": "LINE", "description": "", "cpu": "Master K-200", "stationNo": 1,
     "blocks": [{"address": "D0100", "words": 4, "periodMs": 100}]}
  ]
})";

const char kScenario[] = R"({
  "board": {"port": "0x340", "window": "0xD8000"},
  "stations": [
    {"name": "LINE", "number": 1, "cpu": "K-200",
     "generators": [{"address": "D0100", "kind": "counter", "periodMs": 50}]}
  ]
})";

using EngineLife = DriverTest;

TEST_F(EngineLife, SecondStartStopsAndReplacesTheRunningEngine) {
    Boot(kConfig, kScenario);
    Tag("count", "DLU.LINE", "D0100", T_UINT16);
    Activate();
    ASSERT_TRUE(WaitFor([&] { return DistinctValues("count") >= 2; })) << messages_.Dump();

    ASSERT_EQ(module_.Start(index_), 0) << messages_.Dump();
    // The new engine has no tags and is not running until activated.
    EXPECT_EQ(Stats(nullptr).result, -1);
    std::uint64_t before = Updates("count");
    Tag("count", "DLU.LINE", "D0100", T_UINT16);
    Activate();
    EXPECT_TRUE(WaitFor([&] { return Updates("count") > before + 1; })) << messages_.Dump();
    EXPECT_EQ(Stats(nullptr).result, 0);
}

// Other host threads keep writing and reading statistics while the instance is started again
// and again: the entries they are in keep the engine they found.
TEST_F(EngineLife, RestartWhileOtherThreadsWriteAndReadStatistics) {
    Boot(kConfig, kScenario);
    const std::int32_t h = Tag("count", "DLU.LINE", "D0100", T_UINT16);
    Activate();
    std::atomic<bool> done{false};
    auto writer = [&] {
        CTagVal v;
        for (int i = 0; !done; ++i) {
            v.SetVal(i % 1000);
            module_.Write(index_, h, v);
            Stats(nullptr);
            Stats("LINE");
        }
    };
    std::thread a(writer), b(writer);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(module_.Start(index_), 0) << messages_.Dump();
        EXPECT_EQ(Tag("count", "DLU.LINE", "D0100", T_UINT16), h);
        Activate();
    }
    done = true;
    a.join();
    b.join();
    std::uint64_t before = Updates("count");
    EXPECT_TRUE(WaitFor([&] { return Updates("count") > before; })) << messages_.Dump();
}

TEST_F(EngineLife, UnloadingWhileRunningStopsTheThreadsFirst) {
    Boot(kConfig, kScenario);
    Tag("count", "DLU.LINE", "D0100", T_UINT16);
    Activate();
    ASSERT_TRUE(WaitFor([&] { return DistinctValues("count") >= 2; })) << messages_.Dump();
    module_.Unload();  // no SetActive(0), no DrvStop
    EXPECT_EQ(messages_.Count("통신종료"), 1) << messages_.Dump();
    std::uint64_t after = Updates("count");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // several poll cycles
    EXPECT_EQ(Updates("count"), after);
}

TEST_F(EngineLife, EntriesBeforeStartDoNothing) {
    std::string error;
    ASSERT_TRUE(MakeConfig(kConfig, dir_ / "plant.cfg", error)) << error;
    index_ = module_.Open(dir_ / "plant.cfg");
    ASSERT_GE(index_, 0);
    std::int32_t id = CTagDatabase::Instance().AddTag("early");
    EXPECT_EQ(module_.Register(index_, "DLU.LINE", "D0100", T_UINT16, 2, id), -1);
    EXPECT_EQ(module_.Register(index_, "DLU.NOWHERE", "D0100", T_UINT16, 2, id), -1);
    EXPECT_EQ(module_.EndRegistration(index_), 0);
    CTagVal v;
    v.SetVal(1);
    EXPECT_EQ(module_.Write(index_, 0, v), 0);
    module_.SetActive(index_, nullptr, 1);
    EXPECT_EQ(Stats(nullptr).result, -1);
    EXPECT_EQ(module_.Stop(index_), 0);
    EXPECT_TRUE(messages_.All().empty()) << messages_.Dump();
}

}  // namespace
}  // namespace e2e
