// The real poll and delivery threads: starting, values reaching the host, writes, stopping,
// and destruction while running. The clock is fake; the tests wait for results, not for time.
#include <chrono>
#include <thread>

#include "engine_fixture.h"

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
                if (r.Function() == FN_WRITE_WORDS) {
                    writeSeen_ = true;
                    if (holdWrites_) continue;
                    memory_.store(r.data[0] | r.data[1] << 8);
                }
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
    std::atomic<bool> holdWrites_{false};  // writes stay on the board unanswered
    std::atomic<bool> writeSeen_{false};
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
    EXPECT_EQ(engine_->Writes().Count(), 0u);

    v.SetVal(2222);
    engine_->WriteTag(h, v);
    EXPECT_EQ(engine_->Writes().Count(), 1u);
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

// A stop asked inside a delivery ends like any other: the batch on the board goes with it, and
// a write made after the next start reaches the PLC.
TEST_F(Threads, StopFromInsideADeliveryEndsLikeAnyStop) {
    StartEngine();
    std::int32_t tag = Tag("level");
    std::int32_t h = Register(st_, "D0000", DT_UINT16, 2, tag);
    std::atomic<bool> stopOnDelivery{false};
    int listener = CTagDatabase::Instance().AddListener([&](std::int32_t, const CTagVal&) {
        if (stopOnDelivery) engine_->SetActive(0);
    });
    engine_->SetActive(1);
    ASSERT_TRUE(WaitFor([&] { return HostHas(tag, 1234); }));

    holdWrites_ = true;  // this write stays on the board when communication stops
    CTagVal v;
    v.SetVal(1111);
    engine_->WriteTag(h, v);
    ASSERT_TRUE(WaitFor([&] { return writeSeen_.load(); }));
    stopOnDelivery = true;
    memory_ = 99;
    ASSERT_TRUE(WaitFor([&] { return engine_->GetState() == CDluComm::State::Stopped; }));
    CTagDatabase::Instance().RemoveListener(listener);

    holdWrites_ = false;
    v.SetVal(2222);
    engine_->WriteTag(h, v);  // made while stopped: goes out after the start
    engine_->SetActive(1);
    EXPECT_TRUE(WaitFor([&] { return memory_ == 2222; }));
    v.SetVal(3333);
    engine_->WriteTag(h, v);
    EXPECT_TRUE(WaitFor([&] { return memory_ == 3333; }));
    engine_->Stop();
    EXPECT_EQ(CountMessages(MessageText(1)), 2);
    EXPECT_EQ(CountMessages(MessageText(2)), 2);
}

// The host's message output may stop communication, on the thread that started it or on the
// poll thread reporting a station's failure; either way the call returns and the engine stops.
TEST_F(Threads, MessageOutputThatStopsReturns) {
    struct Case {
        int message;
        bool stopEntry;  // Stop, else SetActive(0)
    };
    for (Case c : {Case{1, true}, Case{1, false}, Case{7, true}, Case{7, false}}) {
        SCOPED_TRACE(c.message);
        StartEngine();
        Register(st_, "D0000", DT_UINT16, 2, Tag("level"));
        const std::string trigger = MessageText(c.message, "LINE1");
        DezSetSink([&](std::int32_t, std::int32_t, const std::string& raw) {
            if (raw != trigger) return;
            if (c.stopEntry)
                engine_->Stop();
            else
                engine_->SetActive(0);
        });
        holdWrites_ = false;
        if (c.message == 7) {
            clock_.SetAutoAdvance(1);  // polls time out
            dev_.onUnlock = nullptr;
        }
        engine_->SetActive(1);
        EXPECT_TRUE(WaitFor([&] { return engine_->GetState() == CDluComm::State::Stopped; }));
        engine_.reset();
        DezSetSink(nullptr);
    }
}

}  // namespace
