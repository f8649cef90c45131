// The poll cycle, one step at a time on the fake clock: order, fairness, periods, writes,
// time-outs and the station's counters and messages.
#include "engine_fixture.h"

using namespace enginetest;

namespace {

class Cycles : public EngineTest {
protected:
    CStationInfo* st_ = nullptr;
    void SetUp() override {
        EngineTest::SetUp();
        st_ = AddStation("LINE1", 3);
    }
    CTagVal Val(double v) {
        CTagVal t;
        t.SetVal(v);
        return t;
    }
    int SlotIdOf(int slot) { return engine_->Board().Slot(slot).id; }
};

TEST_F(Cycles, WritesGoFirstAndHoldBackPollsUntilAllAreOnTheBoard) {
    AddBlock(st_, DEV_D, 0, 40);
    StartEngine();
    std::vector<std::int32_t> words;
    for (int i = 0; i < 33; ++i) {
        char name[8];
        std::snprintf(name, sizeof name, "D%04d", i);
        words.push_back(Register(st_, name, DT_SINT16, 2, Tag(name)));
    }
    Register(st_, "M0001", DT_SINT16, 2, Tag("g"));
    engine_->BuildGroupRequests();
    Activate();
    for (int i = 0; i < 33; ++i) engine_->WriteTag(words[i], Val(i));
    Cycle();
    // 32 slots take 32 writes; the 33rd and every poll wait.
    ASSERT_EQ(dev_.sent.size(), 32u);
    for (const auto& r : dev_.sent) EXPECT_EQ(r.Function(), FN_WRITE_WORDS);
    EXPECT_EQ(st_->m_nWriteRequests.load(), 32);
    EXPECT_EQ(st_->m_nReadRequests.load(), 0);

    dev_.AnswerAll(0);
    engine_->ReceiveResponses();
    EXPECT_EQ(engine_->Writes().Count(), 1u);  // the 33rd is still to go
    Cycle();
    ASSERT_EQ(dev_.sent.size(), 35u);
    EXPECT_EQ(dev_.sent[32].Function(), FN_WRITE_WORDS);
    EXPECT_EQ(dev_.sent[32].data[0], 32);
    EXPECT_EQ(dev_.sent[33].Function(), FN_READ_WORDS);
    EXPECT_EQ(dev_.sent[34].Area(), AreaCode(CPU_K1000, DEV_M));
    dev_.AnswerAll(0);
    engine_->ReceiveResponses();
    EXPECT_EQ(engine_->Writes().Count(), 0u);
    EXPECT_EQ(st_->m_nWriteFailures.load(), 0);
}

TEST_F(Cycles, CursorContinuesWithTheRefusedFrame) {
    for (int i = 0; i < 31; ++i) AddBlock(st_, DEV_D, 100 * i, 4);
    StartEngine();
    Register(st_, "M0001", DT_SINT16, 2, Tag("g"));
    engine_->BuildGroupRequests();
    Activate();
    Cycle();
    ASSERT_EQ(dev_.sent.size(), 30u);
    EXPECT_EQ(dev_.sent.back().Word(), 2900);
    EXPECT_EQ(engine_->RequestCursor(), 30);
    EXPECT_FALSE(engine_->BlockFrame(30).m_bOutstanding);

    dev_.AnswerAll(0);
    engine_->ReceiveResponses();
    Cycle();
    // The refused block first, then the group; the others wait for their period.
    ASSERT_EQ(dev_.sent.size(), 32u);
    EXPECT_EQ(dev_.sent[30].Word(), 3000);
    EXPECT_EQ(dev_.sent[31].Area(), AreaCode(CPU_K1000, DEV_M));
    EXPECT_EQ(engine_->RequestCursor(), 0);
}

TEST_F(Cycles, BlocksKeepTheirPeriodGroupsAskEveryCycle) {
    AddBlock(st_, DEV_D, 0, 4, 1000);
    StartEngine();
    Register(st_, "M0001", DT_SINT16, 2, Tag("g"));
    engine_->BuildGroupRequests();
    Activate();
    int blockPolls = 0, groupPolls = 0;
    for (int i = 0; i < 25; ++i) {  // 2.5 s, answered at once
        std::size_t before = dev_.sent.size();
        Cycle();
        for (std::size_t k = before; k < dev_.sent.size(); ++k)
            (dev_.sent[k].Area() == AreaCode(CPU_K1000, DEV_D) ? blockPolls : groupPolls)++;
        dev_.AnswerAll(0);
        engine_->ReceiveResponses();
    }
    EXPECT_EQ(blockPolls, 3);  // at once, after 1 s, after 2 s
    EXPECT_EQ(groupPolls, 25);

    // Unanswered, a frame is not asked again.
    std::size_t before = dev_.sent.size();
    Cycle();
    Cycle();
    EXPECT_EQ(dev_.sent.size(), before + 1);
}

TEST_F(Cycles, DueTimeHoldsAcrossTheTickWrap) {
    AddBlock(st_, DEV_D, 0, 4, 1000);
    clock_.Set(0xFFFFFF00u);
    StartEngine();
    Activate();
    Cycle();
    dev_.AnswerAll(0);
    engine_->ReceiveResponses();
    std::size_t first = dev_.sent.size();
    for (int i = 0; i < 5; ++i) Cycle();  // the counter wraps, 600 ms pass
    EXPECT_EQ(dev_.sent.size(), first);
    for (int i = 0; i < 5; ++i) Cycle();
    EXPECT_EQ(dev_.sent.size(), first + 1);
}

TEST_F(Cycles, RefusedWriteResumesWithTheSameItem) {
    for (int i = 0; i < 30; ++i) AddBlock(st_, DEV_D, 100 * i, 4);
    StartEngine();
    std::int32_t h[3] = {Register(st_, "D0001", DT_SINT16, 2, Tag("t1")),
                         Register(st_, "D0002", DT_SINT16, 2, Tag("t2")),
                         Register(st_, "D0003", DT_SINT16, 2, Tag("t3"))};
    Activate();
    Cycle();  // 30 polls, unanswered
    ASSERT_EQ(dev_.sent.size(), 30u);
    for (int i = 0; i < 3; ++i) engine_->WriteTag(h[i], Val(10 + i));
    Cycle();
    ASSERT_EQ(dev_.sent.size(), 32u);  // two slots left for writes
    EXPECT_EQ(SlotIdOf(30) & 0xFFFF, 0);
    EXPECT_EQ(SlotIdOf(31) & 0xFFFF, 1);
    dev_.Answer(31, 0);
    engine_->ReceiveResponses();
    Cycle();
    ASSERT_EQ(dev_.sent.size(), 33u);
    EXPECT_EQ(dev_.sent[32].slot, 31);
    EXPECT_EQ(SlotIdOf(31) & 0xFFFF, 2);
    EXPECT_EQ(dev_.sent[32].data[0], 12);
    EXPECT_EQ(st_->m_nWriteRequests.load(), 3);
}

TEST_F(Cycles, WriteRequestLayout) {
    AddBlock(st_, DEV_D, 100, 10);
    StartEngine();
    std::int32_t bit = Register(st_, "D0104.4", DT_BIT, 0, Tag("bit"));
    std::int32_t dword = Register(st_, "D0105", DT_SINT32, 4, Tag("dword"));
    Activate();
    engine_->WriteTag(bit, Val(1));
    engine_->WriteTag(dword, Val(-2));
    Cycle();
    ASSERT_GE(dev_.sent.size(), 2u);
    const fake::SentRequest& b = dev_.sent[0];
    EXPECT_EQ(b.command, 0x0383);
    EXPECT_EQ(b.Area(), AreaCode(CPU_K1000, DEV_D));
    EXPECT_EQ(b.Word(), 104);
    EXPECT_EQ(b.Count(), 1);
    EXPECT_EQ(b.data[0], 0xFF);
    EXPECT_EQ(b.data[1], 0x10);
    EXPECT_EQ(b.data[2], 0xFF);
    EXPECT_EQ(b.data[3], 0x00);
    const fake::SentRequest& d = dev_.sent[1];
    EXPECT_EQ(d.command, 0x0382);
    EXPECT_EQ(d.Word(), 105);
    EXPECT_EQ(d.Count(), 2);
    EXPECT_EQ(d.data[3], 0xFF);
}

TEST_F(Cycles, WriteTimeOutFailsTheItemsStillWaiting) {
    CStationInfo* other = AddStation("LINE2", 4);
    StartEngine();
    std::int32_t a = Register(st_, "D0001", DT_SINT16, 2, Tag("a"));
    std::int32_t c = Register(st_, "D0002", DT_SINT16, 2, Tag("c"));
    std::int32_t b = Register(other, "D0001", DT_SINT16, 2, Tag("b"));
    Activate();
    engine_->WriteTag(a, Val(1));
    engine_->WriteTag(c, Val(2));
    engine_->WriteTag(b, Val(3));
    Cycle();
    // The first is answered; the other two never are.
    std::vector<int> p = dev_.Pending();
    ASSERT_EQ(p.size(), 5u);  // three writes, two group polls
    int firstWrite = -1;
    for (int s : p)
        if (engine_->Board().Slot(s).kind == DLU_SLOT_WRITE && (SlotIdOf(s) & 0xFFFF) == 0)
            firstWrite = s;
    dev_.Answer(firstWrite, 0);
    engine_->ReceiveResponses();
    EXPECT_EQ(engine_->Writes().Count(), 2u);

    clock_.Advance(5001);
    engine_->ReceiveResponses();
    EXPECT_EQ(engine_->Writes().Count(), 2u);    // nothing newer covers them: they go out again
    EXPECT_EQ(st_->m_nWriteFailures.load(), 1);  // the answered one is not failed again
    EXPECT_EQ(other->m_nWriteFailures.load(), 1);
    EXPECT_EQ(CountMessages(MessageText(7, "LINE1")), 2);  // its write and its group poll
    EXPECT_EQ(CountMessages(MessageText(7, "LINE2")), 2);
}

TEST_F(Cycles, WriteTimeOutFailsOnlyItsOwnItem) {
    StartEngine();
    std::int32_t a = Register(st_, "D0001", DT_SINT16, 2, Tag("a"));
    std::int32_t c = Register(st_, "D0002", DT_SINT16, 2, Tag("c"));
    Activate();
    engine_->WriteTag(a, Val(1));
    engine_->WriteTag(c, Val(2));
    // The board takes the first write, then refuses access for the rest of the cycle.
    clock_.SetAutoAdvance(1);
    dev_.grantsLeft = 2;
    engine_->RunCycle(clock_.Now());
    dev_.grantsLeft = -1;
    clock_.SetAutoAdvance(0);
    ASSERT_EQ(dev_.sent.size(), 1u);
    const std::uint32_t firstSent = engine_->Board().Slot(dev_.sent[0].slot).sentTick;

    clock_.Set(firstSent + 3000);
    Cycle();  // the second write and the group poll
    ASSERT_EQ(dev_.sent.size(), 3u);
    const int secondSlot = dev_.sent[1].slot;
    ASSERT_EQ(engine_->Board().Slot(secondSlot).kind, DLU_SLOT_WRITE);

    // The first write times out; the second, still within its time, is answered later.
    clock_.Set(firstSent + 5001);
    engine_->ReceiveResponses();
    EXPECT_EQ(st_->m_nWriteFailures.load(), 1);
    EXPECT_EQ(engine_->Writes().Count(), 2u);  // the first goes out again
    dev_.Answer(secondSlot, 0);
    engine_->ReceiveResponses();
    EXPECT_EQ(engine_->Writes().Count(), 1u);
    EXPECT_EQ(st_->m_nWriteFailures.load(), 1);
}

// The board serves its slots in slot order, not in the order they were filled, so two writes that
// overlap on the board at once could reach the PLC the wrong way round; writes that do not overlap
// must not wait for each other.
TEST_F(Cycles, OverlappingWritesGoOutOneAtATimeInTheHostsOrder) {
    StartEngine();
    std::int32_t a = Register(st_, "D0001", DT_SINT16, 2, Tag("a"));
    std::int32_t b = Register(st_, "D0002", DT_SINT16, 2, Tag("b"));
    std::int32_t bit4 = Register(st_, "D0003.4", DT_BIT, 0, Tag("bit4"));
    std::int32_t bit5 = Register(st_, "D0003.5", DT_BIT, 0, Tag("bit5"));
    std::int32_t w3 = Register(st_, "D0003", DT_SINT16, 2, Tag("w3"));
    std::int32_t d4 = Register(st_, "D0004", DT_UINT32, 4, Tag("d4"));  // D0004..5
    std::int32_t w5 = Register(st_, "D0005", DT_SINT16, 2, Tag("w5"));
    Activate();
    auto writes = [&] {
        std::vector<std::pair<int, int>> out;  // word, first data byte (the set byte of a bit)
        for (const auto& r : dev_.sent)
            if (r.Function() != FN_READ_WORDS)
                out.emplace_back(r.Word(), r.data[r.Function() == FN_WRITE_BIT ? 1 : 0]);
        dev_.sent.clear();
        return out;
    };
    auto answerWrites = [&] {
        for (int s : dev_.Pending())
            if (engine_->Board().Slot(s).kind == DLU_SLOT_WRITE) dev_.Answer(s, 0);
        engine_->ReceiveResponses();
    };
    using W = std::vector<std::pair<int, int>>;
    engine_->WriteTag(a, Val(1));
    Cycle();
    EXPECT_EQ(writes(), (W{{1, 1}}));
    // 2 waits behind 1 on the board, and 3 takes its place; b goes out at once.
    for (double v : {2, 3}) engine_->WriteTag(a, Val(v));
    engine_->WriteTag(b, Val(7));
    // Two bits of one word do not overlap; a word write and a bit of it do.
    engine_->WriteTag(bit4, Val(1));
    engine_->WriteTag(bit5, Val(1));
    engine_->WriteTag(bit4, Val(0));
    engine_->WriteTag(w3, Val(9));
    // A double word and a word it covers; the second double word is not replaced by the third,
    // since the word write made between them overlaps them.
    engine_->WriteTag(d4, Val(0x10001));
    engine_->WriteTag(w5, Val(6));
    engine_->WriteTag(d4, Val(0x20002));
    Cycle();
    EXPECT_EQ(writes(), (W{{2, 7}, {3, 0x10}, {3, 0x20}, {4, 1}}));
    Cycle();  // nothing answered yet: nothing more goes out
    EXPECT_EQ(writes(), W{});
    for (auto expected : {W{{1, 3}, {3, 0x00}, {5, 6}}, W{{3, 9}, {4, 2}}, W{}}) {
        answerWrites();
        Cycle();
        EXPECT_EQ(writes(), expected);
    }
    EXPECT_EQ(engine_->Writes().Replaced(), 1u);

    // A time-out fails only the request that was sent: the next write of its word still goes out.
    engine_->WriteTag(a, Val(4));
    engine_->WriteTag(a, Val(5));
    Cycle();
    EXPECT_EQ(writes(), (W{{1, 5}}));
    engine_->WriteTag(a, Val(6));
    clock_.Advance(5001);
    engine_->ReceiveResponses();
    Cycle();
    EXPECT_EQ(writes(), (W{{1, 6}}));
    EXPECT_EQ(st_->m_nWriteRequests.load(), 12);  // the two replaced values are not counted
    EXPECT_EQ(st_->m_nWriteFailures.load(), 1);
}

TEST_F(Cycles, FailuresAreReportedUntilTheStationIsLostAndItsRecovery) {
    AddBlock(st_, DEV_D, 0, 4, 0);
    StartEngine();
    Activate();
    for (int i = 0; i < 7; ++i) {
        Cycle();
        clock_.Advance(5001);
        engine_->ReceiveResponses();
    }
    std::vector<std::string> m = Messages();
    const std::string timeout = MessageText(7, "LINE1"), lost = MessageText(10, "LINE1");
    ASSERT_EQ(m.size(), 6u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(m[i], timeout) << i;
    EXPECT_EQ(m[5], lost);
    EXPECT_EQ(st_->m_nReadFailures.load(), 7);
    EXPECT_EQ(st_->m_nReadRequests.load(), 7);
    EXPECT_EQ(st_->m_nFailures.load(), 5);

    ClearMessages();
    Cycle();
    dev_.AnswerAll(0);
    engine_->ReceiveResponses();
    EXPECT_EQ(Messages(), std::vector<std::string>{MessageText(11, "LINE1")});
    EXPECT_EQ(st_->m_nFailures.load(), 0);

    // An error answer counts like a time-out.
    ClearMessages();
    Cycle();
    dev_.AnswerAll(0x1F);
    engine_->ReceiveResponses();
    EXPECT_EQ(Messages(), std::vector<std::string>{MessageText(8, "LINE1", "1F")});
    EXPECT_EQ(st_->m_nReadFailures.load(), 8);
}

TEST_F(Cycles, AnswersOutsideTheFramesChangeNothing) {
    AddBlock(st_, DEV_D, 0, 4);
    StartEngine();
    std::int32_t t = Tag("t");
    Register(st_, "D0000", DT_SINT16, 2, t);
    Activate();
    engine_->OnSlotTimeout(DLU_SLOT_BLOCK, 7);
    engine_->OnSlotTimeout(DLU_SLOT_GROUP, -1);
    engine_->OnSlotTimeout(DLU_SLOT_WRITE, 0);
    engine_->OnSlotTimeout(9, 0);
    EXPECT_EQ(st_->m_nReadFailures.load(), 0);

    // An answer to a frame with nothing outstanding is ignored.
    engine_->BlockFrame(0).OnResponse(Data().W(0, 5).b, 0);
    EXPECT_EQ(engine_->QueuedValues(), 0u);
}

// --- starting and stopping -----------------------------------------------------------------------

TEST_F(Cycles, BoardFailuresAreReportedAndKeepCommunicationOff) {
    AddBlock(st_, DEV_D, 0, 4);
    struct {
        void (*arrange)(fake::DluDevice&);
        int message;
    } cases[] = {
        {[](fake::DluDevice& d) { d.openFails = true; }, 12},
        {[](fake::DluDevice& d) { d.mapFails = true; }, 13},
        {[](fake::DluDevice& d) { d.detectFails = true; }, 14},
    };
    for (const auto& c : cases) {
        dev_.openFails = dev_.mapFails = dev_.detectFails = false;
        c.arrange(dev_);
        ClearMessages();
        engine_ = std::make_unique<CDluComm>(&doc_);
        EXPECT_EQ(engine_->Start(), -c.message);
        EXPECT_EQ(Messages(), std::vector<std::string>{MessageText(c.message)});
        EXPECT_FALSE(engine_->BoardReady());
        if (c.message == 12) {
            EXPECT_FALSE(engine_->BoardIsOpen());
        }
        // Registration still works; activation does nothing.
        EXPECT_EQ(Register(st_, "D0000", DT_SINT16, 2, Tag("t")), 0);
        ClearMessages();
        engine_->SetActive(1);
        EXPECT_FALSE(engine_->IsRunning());
        EXPECT_TRUE(Messages().empty());
    }
}

TEST_F(Cycles, StartResetsStationsAndBuildsOneFramePerBlock) {
    AddBlock(st_, DEV_D, 0, 4);
    CStationInfo* other = AddStation("LINE2", 4);
    AddBlock(other, DEV_M, 0, 4);
    AddBlock(other, DEV_D, 50, 4);
    st_->m_nEnabled = 0;
    st_->m_nFailures = 5;
    other->m_nReadRequests = 9;
    engine_ = std::make_unique<CDluComm>(&doc_);
    EXPECT_EQ(engine_->Start(), 0);
    EXPECT_EQ(Messages(), std::vector<std::string>{MessageText(3)});
    EXPECT_TRUE(engine_->BoardReady());
    EXPECT_EQ(st_->m_nEnabled.load(), 1);
    EXPECT_EQ(st_->m_nFailures.load(), 0);
    EXPECT_EQ(other->m_nReadRequests.load(), 0);
    ASSERT_EQ(engine_->BlockFrameCount(), 3u);
    EXPECT_EQ(engine_->BlockFrame(2).m_pBlock->m_nStartWord, 50);
    EXPECT_EQ(engine_->BlockFrame(1).m_wCommand, 0x0481);
}

}  // namespace
