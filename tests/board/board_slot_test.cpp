// Request slots: placing, answering, freeing and timing out, against the scripted board.
#include <gtest/gtest.h>

#include <array>
#include <utility>
#include <vector>

#include "board/dluboard.h"
#include "board_model.h"
#include "platform/fakes.h"

namespace {

struct RecordingOwner : IDluSlotOwner {
    std::vector<std::pair<int, int>> ended;  // kind, id
    void OnSlotTimeout(std::int32_t kind, std::int32_t id) override {
        ended.emplace_back(kind, id);
    }
};

class BoardSlots : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(board.Open(0, 0), 0);
        dev.writes.clear();
    }
    // Every window access must happen under the access that belongs to its bank.
    void TearDown() override { EXPECT_EQ(model.bankWithoutLock, 0); }

    bool Poll(int id, std::int32_t kind = DLU_SLOT_BLOCK) {
        const std::uint8_t req[4] = {0xA0, 0xA1, 0xA2, static_cast<std::uint8_t>(id)};
        return board.SendRequest(kind, id, 0x0453, req, sizeof req);
    }
    bool Write(int id) {
        const std::uint8_t header[6] = {1, 2, 3, 4, 5, 6};
        const std::uint8_t data[2] = {0x77, 0x88};
        return board.SendWriteRequest(id, 0x0858, header, data, sizeof data);
    }
    std::array<std::uint8_t, 4> RequestBitmap() {
        const std::uint8_t* b = model.Bank(0);
        return {b[2], b[3], b[4], b[5]};
    }

    plat::FakeClock clock{1000};
    plat::FakeDevice dev;
    BoardModel model{dev};
    plat::ScopedClock scopedClock{&clock};
    plat::ScopedDevice scopedDevice{&dev};
    CDluBoard board;
    std::array<std::uint8_t, 130> buffer{};
    std::uint32_t status = 0xFFFFFFFF;
};

TEST_F(BoardSlots, PollRequestLandsInRequestBank) {
    ASSERT_TRUE(Poll(9));
    EXPECT_EQ(model.Command(0), 0x0453);
    EXPECT_EQ(model.Bank(0)[0x0E], 0x53);  // function code low, station high
    const std::uint8_t* req = model.RequestArea(0);
    EXPECT_EQ((std::array<std::uint8_t, 5>{req[0], req[1], req[2], req[3], req[4]}),
              (std::array<std::uint8_t, 5>{0xA0, 0xA1, 0xA2, 9, 0}));
    EXPECT_EQ(model.DataArea(0)[0], 0);
    EXPECT_EQ(RequestBitmap(), (std::array<std::uint8_t, 4>{0x80, 0, 0, 0}));
    EXPECT_EQ(model.Bank(1)[2], 0);  // nothing written to the response bank

    const DluSlot& s = board.Slot(0);
    EXPECT_EQ(s.active, 1);
    EXPECT_EQ(s.kind, DLU_SLOT_BLOCK);
    EXPECT_EQ(s.id, 9);
    EXPECT_EQ(s.sentTick, 1000u);
    EXPECT_EQ(board.Outstanding(), 1);
    EXPECT_EQ(dev.writes.back().value, 0xC0);  // access given back
}

TEST_F(BoardSlots, BitmapNumberingRunsFromTopOfFirstByte) {
    for (int i = 0; i < 32; ++i) ASSERT_TRUE(Write(i)) << i;
    EXPECT_EQ(RequestBitmap(), (std::array<std::uint8_t, 4>{0xFF, 0xFF, 0xFF, 0xFF}));
    for (int i = 0; i < 32; ++i)
        if (i != 0 && i != 9 && i != 31) board.FreeSlot(i);
    const std::array<std::uint8_t, 4> expect{0x80, 0x40, 0x00, 0x01};
    EXPECT_EQ(RequestBitmap(), expect);
    const std::uint8_t* own = board.OwnBitmap();
    EXPECT_EQ((std::array<std::uint8_t, 4>{own[0], own[1], own[2], own[3]}), expect);
}

TEST_F(BoardSlots, PollsStopAt30OutstandingWritesUseTheRest) {
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(Poll(i)) << i;
    EXPECT_FALSE(Poll(30));
    ASSERT_TRUE(Write(100));
    ASSERT_TRUE(Write(101));
    EXPECT_EQ(board.Slot(30).id, 100);
    EXPECT_EQ(board.Slot(31).id, 101);
    EXPECT_FALSE(Write(102));
    EXPECT_EQ(board.Outstanding(), 32);

    board.FreeSlot(5);
    EXPECT_FALSE(Poll(31));  // still 31 outstanding
    ASSERT_TRUE(Write(103));
    EXPECT_EQ(board.Slot(5).id, 103);
}

TEST_F(BoardSlots, AnswerWithoutOwnRequestIsNeitherReadyNorReused) {
    model.SetBit(1, 1, true);  // e.g. a late answer after a time-out
    ASSERT_TRUE(Poll(0));
    ASSERT_TRUE(Poll(2));
    EXPECT_EQ(board.Slot(2).id, 2);
    EXPECT_FALSE(board.Slot(1).active);
    EXPECT_EQ(board.FindReadySlot(), -1);
    buffer.fill(0xAA);
    EXPECT_EQ(board.ReceiveResponse(buffer.data(), status), -1);
    EXPECT_EQ(buffer[0], 0xAA);

    model.SetBit(1, 1, false);  // the board has cleared it
    ASSERT_TRUE(Poll(1));
    EXPECT_EQ(board.Slot(1).id, 1);
}

TEST_F(BoardSlots, ReadySlotsComeLowestFirstAndAreFreed) {
    for (int i = 0; i < 12; ++i) ASSERT_TRUE(Poll(i, DLU_SLOT_GROUP));
    model.Answer(11, 0);
    model.Answer(2, 0);
    EXPECT_EQ(board.ReceiveResponse(buffer.data(), status), 2);
    EXPECT_EQ(board.ReceiveResponse(buffer.data(), status), 11);
    EXPECT_EQ(board.ReceiveResponse(buffer.data(), status), -1);
    EXPECT_EQ(board.Outstanding(), 10);
    EXPECT_FALSE(model.Bit(0, 2));
    EXPECT_FALSE(model.Bit(0, 11));
    EXPECT_TRUE(model.Bit(0, 3));
    // The record still names its owner for dispatch.
    EXPECT_EQ(board.Slot(11).active, 0);
    EXPECT_EQ(board.Slot(11).kind, DLU_SLOT_GROUP);
    EXPECT_EQ(board.Slot(11).id, 11);
}

TEST_F(BoardSlots, ErrorStatusLeavesBufferSuccessCopies128Bytes) {
    ASSERT_TRUE(Poll(0));
    model.Answer(0, 0x1234, 0x40);
    buffer.fill(0xAA);
    EXPECT_EQ(board.ReceiveResponse(buffer.data(), status), 0);
    EXPECT_EQ(status, 0x1200u);
    for (auto b : buffer) ASSERT_EQ(b, 0xAA);

    ASSERT_TRUE(Poll(1));  // slot 0 still shows its answer, so slot 1
    model.Answer(1, 0x0077, 7);
    EXPECT_EQ(board.ReceiveResponse(buffer.data(), status), 1);
    EXPECT_EQ(status, 0u);
    for (int i = 0; i < 128; ++i) ASSERT_EQ(buffer[i], 7 + i) << i;
    EXPECT_EQ(buffer[128], 0xAA);
    EXPECT_EQ(buffer[129], 0xAA);
}

TEST_F(BoardSlots, WriteCarriesHeaderAndDataAndItsAnswerNeverCopies) {
    ASSERT_TRUE(Write(3));
    const std::uint8_t* h = model.RequestArea(0);
    EXPECT_EQ((std::array<std::uint8_t, 6>{h[0], h[1], h[2], h[3], h[4], h[5]}),
              (std::array<std::uint8_t, 6>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(model.DataArea(0)[0], 0x77);
    EXPECT_EQ(model.DataArea(0)[1], 0x88);
    EXPECT_EQ(model.Command(0), 0x0858);

    model.Answer(0, 0);
    buffer.fill(0xAA);
    EXPECT_EQ(board.ReceiveResponse(buffer.data(), status), 0);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(buffer[0], 0xAA);
    EXPECT_EQ(board.Slot(0).kind, DLU_SLOT_WRITE);
    EXPECT_EQ(board.Slot(0).id, 3);
}

TEST_F(BoardSlots, RefusedAccessChangesNothingAndAnswersWait) {
    model.onControlRead = [&] { clock.Advance(50); };
    model.refuse[2] = -1;
    EXPECT_FALSE(Poll(0));
    EXPECT_EQ(board.Outstanding(), 0);
    EXPECT_EQ(board.Slot(0).active, 0);
    EXPECT_EQ(board.OwnBitmap()[0], 0);

    model.refuse[2] = 0;
    ASSERT_TRUE(Poll(0));
    model.Answer(0, 0);
    model.refuse[1] = -1;
    EXPECT_EQ(board.ReceiveResponse(buffer.data(), status), -1);
    EXPECT_EQ(board.Outstanding(), 1);
    model.refuse[1] = 0;
    EXPECT_EQ(board.ReceiveResponse(buffer.data(), status), 0);

    // Freeing without access ends the request, but the slot stays ours, and is not handed out
    // again, until the board has seen it withdrawn.
    ASSERT_TRUE(Poll(1));
    model.refuse[2] = -1;
    EXPECT_FALSE(board.FreeSlot(1));
    EXPECT_EQ(board.Outstanding(), 0);
    EXPECT_EQ(board.OwnBitmap()[0], 0x40);
    EXPECT_TRUE(model.Bit(0, 1));
    model.refuse[2] = 0;
    ASSERT_TRUE(Poll(2));
    EXPECT_EQ(board.Slot(1).active, 0);
    EXPECT_TRUE(board.Slot(2).active);
    board.FinishWithdrawals();
    EXPECT_EQ(board.OwnBitmap()[0], 0x20);
    EXPECT_FALSE(model.Bit(0, 1));
}

TEST_F(BoardSlots, DataThatDoesNotFitIsRefusedBeforeTheBoard) {
    std::uint8_t big[200] = {};
    const std::uint8_t header[6] = {};
    EXPECT_FALSE(board.SendRequest(DLU_SLOT_BLOCK, 0, 1, big, 65));
    EXPECT_FALSE(board.SendRequest(DLU_SLOT_BLOCK, 0, 1, big, -1));
    EXPECT_FALSE(board.SendWriteRequest(0, 1, header, big, 129));
    EXPECT_FALSE(board.SendWriteRequest(0, 1, nullptr, big, 2));
    EXPECT_TRUE(dev.writes.empty());
    EXPECT_TRUE(board.SendRequest(DLU_SLOT_BLOCK, 0, 1, big, 64));
    EXPECT_TRUE(board.SendWriteRequest(1, 1, header, big, 128));

    CDluBoard closed;  // no window: nothing to place, nothing to find
    EXPECT_FALSE(closed.SendRequest(DLU_SLOT_BLOCK, 0, 1, big, 4));
    EXPECT_EQ(closed.FindReadySlot(), -1);
}

TEST_F(BoardSlots, TimeOutAfterMoreThan5000msAcrossTickWrap) {
    RecordingOwner owner;
    board.m_pOwner = &owner;
    const std::uint32_t t = 0xFFFFF000u;
    clock.Set(t);
    ASSERT_TRUE(Poll(7, DLU_SLOT_BLOCK));
    ASSERT_TRUE(Poll(3, DLU_SLOT_GROUP));
    ASSERT_TRUE(Write(2));
    clock.Set(t + 3000);
    ASSERT_TRUE(Poll(8));

    clock.Set(t + 5000);
    board.CheckTimeouts();
    EXPECT_TRUE(owner.ended.empty());
    EXPECT_EQ(board.Outstanding(), 4);

    clock.Set(t + 5001);  // past the wrap
    board.CheckTimeouts();
    EXPECT_EQ(owner.ended, (std::vector<std::pair<int, int>>{{1, 7}, {2, 3}, {0, 2}}));
    EXPECT_EQ(board.Outstanding(), 1);
    EXPECT_EQ(RequestBitmap(), (std::array<std::uint8_t, 4>{0x10, 0, 0, 0}));

    // A late answer to an ended request is ignored.
    model.Answer(0, 0);
    EXPECT_EQ(board.ReceiveResponse(buffer.data(), status), -1);

    board.m_pOwner = nullptr;
    clock.Set(t + 8001);
    board.CheckTimeouts();
    EXPECT_EQ(owner.ended.size(), 3u);
    EXPECT_EQ(board.Outstanding(), 0);
    EXPECT_EQ(board.Slot(3).active, 0);
}

TEST_F(BoardSlots, FreeingAllSlotsClearsEverythingAndCountsOnlyActive) {
    ASSERT_TRUE(Poll(0));
    ASSERT_TRUE(Poll(1));
    board.FreeSlot(20);  // idle: the two pending requests still count
    EXPECT_EQ(board.Outstanding(), 2);
    board.FreeSlot(-1);
    board.FreeSlot(32);
    EXPECT_EQ(board.Outstanding(), 2);

    for (int i = 0; i < 32; ++i) board.FreeSlot(i);
    EXPECT_EQ(board.Outstanding(), 0);
    EXPECT_EQ(RequestBitmap(), (std::array<std::uint8_t, 4>{0, 0, 0, 0}));
    const std::uint8_t* own = board.OwnBitmap();
    EXPECT_EQ(own[0] | own[1] | own[2] | own[3], 0);
    board.FreeSlot(0);
    EXPECT_EQ(board.Outstanding(), 0);
}

}  // namespace
