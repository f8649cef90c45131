// Reset, detection and the access lock, against the scripted board on the fake clock.
#include <gtest/gtest.h>

#include <vector>

#include "board/dluboard.h"
#include "board_model.h"
#include "platform/fakes.h"

namespace {

class BoardProtocol : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(board.Open(0, 0), 0);
        dev.writes.clear();
    }

    std::vector<std::uint8_t> WritesTo(std::uint16_t port) {
        std::vector<std::uint8_t> r;
        for (auto& w : dev.writes)
            if (w.port == port) r.push_back(w.value);
        return r;
    }

    plat::FakeClock clock{1000};
    plat::FakeDevice dev;
    BoardModel model{dev};
    plat::ScopedClock scopedClock{&clock};
    plat::ScopedDevice scopedDevice{&dev};
    CDluBoard board;
};

TEST_F(BoardProtocol, ResetZeroesEachRegisterTwiceThenSettles) {
    ASSERT_EQ(board.Open(1, 0), 0);  // base 0x310
    dev.writes.clear();
    board.Reset();
    const std::uint16_t order[] = {0x310, 0x310, 0x311, 0x311, 0x312, 0x312, 0x313, 0x313};
    ASSERT_EQ(dev.writes.size(), 8u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(dev.writes[i].port, order[i]) << i;
        EXPECT_EQ(dev.writes[i].value, 0) << i;
    }
    EXPECT_EQ(clock.SleptTotal(), 2000u);
}

TEST_F(BoardProtocol, DetectAnswersHandshakeAndGivesControlBack) {
    board.Reset();
    dev.writes.clear();
    EXPECT_TRUE(board.Detect());
    EXPECT_EQ(WritesTo(0x301),
              (std::vector<std::uint8_t>{0x02, 0x06, 0x04, 0x03, 0x07, 0x00, 0x01}));
    EXPECT_EQ(model.handshakeStep, 7);
    ASSERT_FALSE(dev.writes.empty());
    EXPECT_EQ(dev.writes.back().port, 0x300);
    EXPECT_EQ(dev.writes.back().value, 0xC0);
}

TEST_F(BoardProtocol, DetectStopsAtFirstWrongHandshakeByte) {
    model.handshake[0] = 0x00;
    EXPECT_FALSE(board.Detect());
    EXPECT_TRUE(dev.writes.empty());
    EXPECT_EQ(clock.SleptTotal(), 0u);

    model.handshake[0] = 0x01;
    model.handshake[3] = 0x06;
    model.handshakeStep = 0;
    EXPECT_FALSE(board.Detect());
    EXPECT_EQ(WritesTo(0x301).size(), 3u);
}

TEST_F(BoardProtocol, DetectWaitsUpTo3000msForReadyBits) {
    clock.SetAutoAdvance(1);
    struct Case {
        bool up, ready;
    } cases[] = {{false, true}, {true, false}};
    for (auto c : cases) {
        model.handshakeStep = 0;
        model.up = c.up;
        model.ready = c.ready;
        dev.writes.clear();
        const std::uint32_t before = clock.Now();
        EXPECT_FALSE(board.Detect());
        // 70 ms of handshake sleeps, then the wait.
        EXPECT_GE(clock.Now() - before, 3070u);
        EXPECT_LT(clock.Now() - before, 3100u);
        EXPECT_NE(dev.writes.back().port, 0x300);  // no give-back on failure
    }

    // Ready bits that come late but inside the wait are seen.
    model.handshakeStep = 0;
    model.up = false;
    model.ready = true;
    const std::uint32_t before = clock.Now();
    model.onControlRead = [&] { model.up = clock.Now() - before >= 3000; };
    EXPECT_TRUE(board.Detect());
}

TEST_F(BoardProtocol, LockReturnsOnGrantAndKeepsRequestStanding) {
    model.refuse[2] = 3;
    EXPECT_TRUE(board.Lock(2));
    ASSERT_EQ(dev.writes.size(), 1u);
    EXPECT_EQ(dev.writes[0].value, 0xC2);
}

TEST_F(BoardProtocol, LockGivesUpAfter500msAndWithdraws) {
    int reads = 0;
    model.onControlRead = [&] {
        ++reads;
        clock.Advance(100);
    };
    model.refuse[1] = -1;
    EXPECT_FALSE(board.Lock(1));
    EXPECT_EQ(reads, 5);
    ASSERT_EQ(dev.writes.size(), 2u);
    EXPECT_EQ(dev.writes[0].value, 0xC1);
    EXPECT_EQ(dev.writes[1].port, 0x300);
    EXPECT_EQ(dev.writes[1].value, 0xC0);

    model.refuse[1] = 4;  // granted at the read that reaches 500 ms: the grant wins
    EXPECT_TRUE(board.Lock(1));
    model.refuse[1] = 5;
    EXPECT_FALSE(board.Lock(1));
}

TEST_F(BoardProtocol, LockFailsAtOnceWhenTheDriverCannotBeReached) {
    clock.SetAutoAdvance(1);
    dev.portsFail = true;
    const std::uint32_t before = clock.Now();
    EXPECT_FALSE(board.Lock(1));
    EXPECT_LT(clock.Now() - before, 10u);
}

TEST_F(BoardProtocol, LockWaitIsCountedIn16BitsAcrossTickWrap) {
    clock.Set(0xFFFFFF00u);
    int reads = 0;
    model.onControlRead = [&] { clock.Advance(++reads == 1 ? 65536 + 100 : 100); };
    model.refuse[2] = -1;
    EXPECT_FALSE(board.Lock(2));
    EXPECT_EQ(reads, 5);  // 65636 ms count as 100
}

}  // namespace
