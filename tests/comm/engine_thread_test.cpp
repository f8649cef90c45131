// The real poll and delivery threads: starting, values reaching the host, writes, stopping,
// and destruction while running. The clock is fake; the tests wait for results, not for time.
#include <chrono>
#include <thread>

#include "engine_fixture.h"
#include "sim/board.h"

using namespace enginetest;

namespace {

// Waits (bounded) until the condition holds; the bound only keeps a broken build from hanging.
template <class F>
bool WaitFor(F condition) {
    for (int i = 0; i < 20000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

class Threads : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        st_ = AddStation("LINE1", 3);
        AddBlock(st_, DEV_D, 0, 8, 200);
        // The board answers every poll at once with the current memory word 0.
        dev_.onUnlock = [this](fake::DluDevice& d) {
            Data data;
            data.W(0, static_cast<std::uint16_t>(memory_.load()));
            for (int s : d.Pending()) {
                fake::SentRequest r = d.Request(s);
                if (r.Function() == FN_WRITE_WORDS) memory_.store(r.data[0] | r.data[1] << 8);
                d.Answer(s, 0, r.Function() == FN_READ_WORDS ? data.b : nullptr);
            }
        };
    }
    bool HostHas(std::int32_t tagId, double v) {
        CTagVal val;
        return CTagDatabase::Instance().GetValue(tagId, val) && val.IsSet() && val.GetVal() == v;
    }

    CStationInfo* st_ = nullptr;
    std::atomic<int> memory_{1234};
};

TEST_F(Threads, ValuesArriveWritesGoOutAndStopEndsBoth) {
    StartEngine();
    std::int32_t tag = Tag("level");
    std::int32_t h = Register(st_, "D0000", DT_UINT16, 2, tag);
    engine_->BuildGroupRequests();

    engine_->SetActive(1);
    engine_->SetActive(1);
    EXPECT_TRUE(engine_->IsRunning());
    EXPECT_TRUE(WaitFor([&] { return HostHas(tag, 1234); }));

    CTagVal v;
    v.SetVal(4321);
    engine_->WriteTag(h, v);
    EXPECT_TRUE(WaitFor([&] { return HostHas(tag, 4321); }));

    engine_->SetActive(0);
    EXPECT_FALSE(engine_->IsRunning());
    engine_->SetActive(0);
    engine_->Stop();
    EXPECT_EQ(Messages(), (std::vector<std::string>{MessageText(1), MessageText(2)}));
    EXPECT_GT(st_->m_nReadRequests.load(), 0);
    EXPECT_EQ(st_->m_nWriteRequests.load(), 1);
}

TEST_F(Threads, ReactivationDeliversEveryTagAgain) {
    StartEngine();
    std::int32_t tag = Tag("level");
    Register(st_, "D0000", DT_UINT16, 2, tag);
    engine_->SetActive(1);
    ASSERT_TRUE(WaitFor([&] { return Updates(tag) == 1; }));
    engine_->SetActive(0);
    engine_->SetActive(1);
    EXPECT_TRUE(WaitFor([&] { return Updates(tag) == 2; }));
    engine_->Stop();
    EXPECT_EQ(Updates(tag), 2u);  // the value never changed
}

TEST_F(Threads, StopDropsUnsentWritesWritesWhileStoppedWaitForTheNextStart) {
    StartEngine();
    std::int32_t tag = Tag("level");
    std::int32_t h = Register(st_, "D0000", DT_UINT16, 2, tag);
    clock_.SetAutoAdvance(1);  // lets the refused access requests give up
    dev_.refuseLock = true;
    engine_->SetActive(1);
    CTagVal v;
    v.SetVal(1111);
    engine_->WriteTag(h, v);
    engine_->Stop();
    EXPECT_FALSE(engine_->HasPendingBatch());

    v.SetVal(2222);
    engine_->WriteTag(h, v);
    EXPECT_TRUE(engine_->HasPendingBatch());
    dev_.refuseLock = false;
    engine_->SetActive(1);
    EXPECT_TRUE(WaitFor([&] { return HostHas(tag, 2222); }));
    engine_->Stop();
    int writes = 0;
    for (const auto& r : dev_.sent)
        if (r.Function() == FN_WRITE_WORDS) {
            ++writes;
            EXPECT_EQ(r.data[0] | r.data[1] << 8, 2222);
        }
    EXPECT_EQ(writes, 1);
}

TEST_F(Threads, DestroyingARunningEngineStopsItFirst) {
    StartEngine();
    std::int32_t tag = Tag("level");
    Register(st_, "D0000", DT_UINT16, 2, tag);
    engine_->SetActive(1);
    ASSERT_TRUE(WaitFor([&] { return Updates(tag) >= 1; }));
    engine_.reset();
    const std::uint64_t after = Updates(tag);
    memory_ = 99;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Updates(tag), after);
}

TEST_F(Threads, HostMayStopFromInsideADelivery) {
    StartEngine();
    std::int32_t tag = Tag("level");
    Register(st_, "D0000", DT_UINT16, 2, tag);
    int listener = CTagDatabase::Instance().AddListener(
        [this](std::int32_t, const CTagVal&) { engine_->SetActive(0); });
    engine_->SetActive(1);
    EXPECT_TRUE(WaitFor([&] { return !engine_->IsRunning(); }));
    EXPECT_EQ(Updates(tag), 1u);
    CTagDatabase::Instance().RemoveListener(listener);

    // A later start from the host's own thread runs again.
    engine_->SetActive(1);
    EXPECT_TRUE(WaitFor([&] { return Updates(tag) == 2; }));
    engine_->Stop();
    EXPECT_EQ(Messages(), (std::vector<std::string>{MessageText(1), MessageText(2), MessageText(1),
                                                    MessageText(2)}));
}

// --- against the board simulator -----------------------------------------------------------------

constexpr const char* kPlant = R"({
  "board": {"port": "0x340", "window": "0xD8000"},
  "stations": [
    {"name": "BOILER", "number": 5, "cpu": "K-1000", "memory": {"D0100": [850, 120, 7]}},
    {"name": "PACK", "number": 7, "cpu": "K-250", "absent": true}
  ]})";

class OnSimulator : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        sim::Scenario sc;
        std::string error;
        ASSERT_TRUE(sim::ParseScenario(kPlant, sc, error)) << error;
        board_ = std::make_unique<sim::Board>(sc);
        device_ = std::make_unique<sim::SimDevice>(*board_);
        plat::SetDevice(device_.get());
        // The firmware takes one pass whenever the poll thread sleeps: in step with the cycle.
        clock_.onSleep = [this](std::uint32_t) { board_->ProcessOnce(); };
    }
    void TearDown() override {
        engine_.reset();
        plat::SetDevice(&dev_);
        EngineTest::TearDown();
    }
    std::unique_ptr<sim::Board> board_;
    std::unique_ptr<sim::SimDevice> device_;
};

TEST_F(OnSimulator, PollsWritesAndReportsTheAbsentStation) {
    CStationInfo* boiler = AddStation("BOILER", 5, CPU_K1000);
    CStationInfo* pack = AddStation("PACK", 7, CPU_K250);
    AddBlock(boiler, DEV_D, 100, 3, 500);
    AddBlock(pack, DEV_D, 0, 4, 500);
    StartEngine();
    std::int32_t temp = Tag("temp"), flow = Tag("flow"), word = Tag("word"), bit = Tag("bit");
    std::int32_t hFlow = Register(boiler, "D0101", DT_SINT16, 2, flow);
    Register(boiler, "D0100", DT_SINT16, 2, temp);
    Register(boiler, "D0300", DT_UINT16, 2, word);  // outside the block: a group
    Register(boiler, "D0102.1", DT_BIT, 0, bit);
    engine_->BuildGroupRequests();

    engine_->SetActive(1);
    EXPECT_TRUE(WaitFor([&] {
        CTagVal t, f, b;
        auto& db = CTagDatabase::Instance();
        return db.GetValue(temp, t) && t.GetVal() == 850 && db.GetValue(flow, f) &&
               f.GetVal() == 120 && db.GetValue(bit, b) && b.IsSet() && b.GetVal() == 1;
    }));
    CTagVal v;
    v.SetVal(-5);
    engine_->WriteTag(hFlow, v);
    EXPECT_TRUE(WaitFor([&] {
        CTagVal f;
        return CTagDatabase::Instance().GetValue(flow, f) && f.GetVal() == -5;
    }));
    EXPECT_TRUE(WaitFor([&] { return pack->m_nFailures.load() == 5; }));
    engine_->Stop();

    std::uint16_t mem = 0;
    ASSERT_TRUE(board_->PeekWord(5, AreaCode(CPU_K1000, DEV_D), 101, mem));
    EXPECT_EQ(mem, 0xFFFB);
    EXPECT_EQ(boiler->m_nFailures.load(), 0);
    EXPECT_EQ(boiler->m_nReadFailures.load(), 0);
    EXPECT_EQ(CountMessages(MessageText(7, "PACK")), 5);
    EXPECT_EQ(CountMessages(MessageText(10, "PACK")), 1);
}

}  // namespace
