// The board driven through its ports and window, as a PC driver does.
#include "sim/board.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/fakes.h"
#include "sim_pc.h"

using namespace simtest;

namespace {

constexpr const char* kLine = R"({
  "board": {"port": "0x340", "window": "0xD8000"},
  "stations": [
    {"name": "PLC1", "number": 1, "cpu": "K-200",
     "memory": {"D0100": [11, 22, 33, 44], "M0003": "AB", "D1023": 7}},
    {"name": "BIG", "number": 2, "cpu": "Master K-1000", "memory": {"D9999": 99}},
    {"name": "ERR", "number": 3, "cpu": "K-500", "errorNumber": "0x12"},
    {"name": "GONE", "number": 7, "cpu": "K-250", "absent": true},
    {"name": "SLOW", "number": 9, "cpu": "K-200", "delayMs": 6000}
  ]})";

constexpr std::uint16_t D200 = 0x772, M200 = 0x773, D1000 = 0x604;

sim::Scenario Line(const std::string& json = kLine) {
    sim::Scenario sc;
    std::string error;
    EXPECT_TRUE(sim::ParseScenario(json, sc, error)) << error;
    return sc;
}

class BoardTest : public ::testing::Test {
protected:
    BoardTest() : board(Line()), pc(board) {
        board.SetClock(&clock);
        board.SetTrace([this](const std::string& l) { trace.push_back(l); });
        pc.Reset();
        EXPECT_TRUE(pc.Detect());
        EXPECT_EQ(trace, (std::vector<std::string>{"board reset", "board ready"}));
        trace.clear();
    }
    plat::FakeClock clock{1000};
    sim::Board board;
    Pc pc;
    std::vector<std::string> trace;
};

}  // namespace

TEST(BoardPorts, ResetAndHandshakeBringTheBoardUp) {
    sim::Board board(Line());
    Pc pc(board);
    // Held in reset: the handshake register reads 0 and the board is not up.
    pc.Out(0, 0);
    EXPECT_EQ(pc.In(1), 0x00);
    EXPECT_NE(pc.In(0) & 0xC0, 0);
    pc.Reset();
    EXPECT_EQ(pc.In(1), 0x01);
    EXPECT_FALSE(board.Ready());

    // A wrong answer starts the sequence over.
    pc.Out(1, 0x02);
    EXPECT_EQ(pc.In(1), 0x02);
    pc.Out(1, 0x05);
    EXPECT_EQ(pc.In(1), 0x01);

    EXPECT_TRUE(pc.Detect());
    EXPECT_TRUE(board.Ready());
    EXPECT_EQ(pc.In(0) & 0xC0, 0);
    EXPECT_EQ(pc.In(1) & 0xC0, 0xC0);
    // Detecting again without a reset fails: the board is past the sequence.
    EXPECT_FALSE(pc.Detect());
}

TEST(BoardPorts, NothingAnswersAwayFromTheBoard) {
    sim::Board board(Line());
    EXPECT_TRUE(board.RespondsAt(0x343));
    EXPECT_FALSE(board.RespondsAt(0x344));
    EXPECT_FALSE(board.RespondsAt(0x33F));
    EXPECT_EQ(board.ReadPort(0x300), 0xFF);

    sim::Scenario sc = Line();
    sc.noBoard = true;
    sim::Board empty(sc);
    Pc pc(empty);
    EXPECT_FALSE(empty.RespondsAt(0x340));
    pc.Reset();
    EXPECT_EQ(pc.In(1), 0xFF);
    EXPECT_FALSE(pc.Detect());
}

TEST_F(BoardTest, AccessLockIsGrantedAndKeepsTheFirmwareOut) {
    EXPECT_EQ(pc.In(0) & 0x03, 0x03);  // nobody has asked: nothing granted
    pc.Out(0, 0xC2);
    EXPECT_EQ(pc.In(0) & 0x02, 0);

    // While the PC holds the window the firmware does not look at the slots.
    const int slot = 4;
    pc.Out(2, 0);
    pc.w[kCommand + 2 * slot] = 0x81;
    pc.w[kCommand + 2 * slot + 1] = 1;
    auto item = Item(D200, 100, 1);
    std::memcpy(pc.w + kRequest + kStride * slot, item.data(), 6);
    pc.w[kBitmap] = 0x08;
    pc.own[0] = 0x08;
    EXPECT_FALSE(board.ProcessOnce());
    pc.Unlock();
    EXPECT_TRUE(board.ProcessOnce());
    EXPECT_TRUE(pc.Ready(slot));
}

TEST(BoardPorts, LockNeverGrantedFault) {
    sim::Scenario sc = Line();
    sc.lockNeverGranted = true;
    sim::Board board(sc);
    Pc pc(board);
    pc.Reset();
    ASSERT_TRUE(pc.Detect());
    EXPECT_FALSE(pc.Lock(2, 50));
    EXPECT_FALSE(pc.Lock(1, 50));
    // Only a granted request keeps the firmware out, not one that is merely asked.
    pc.Out(0, 0xC2);
    EXPECT_NE(pc.In(0) & 0x02, 0);
    EXPECT_TRUE(board.ProcessOnce());
}

TEST_F(BoardTest, BanksKeepTheirOwnContents) {
    ASSERT_TRUE(pc.Lock(2));
    pc.Out(2, 0);
    pc.w[0x1000] = 0xA5;
    pc.w[0x3FFF] = 0x5A;
    pc.Out(2, 1);
    EXPECT_EQ(pc.w[0x1000], 0x00);
    pc.w[0x1000] = 0x11;
    pc.Out(2, 0);
    EXPECT_EQ(pc.w[0x1000], 0xA5);
    EXPECT_EQ(pc.w[0x3FFF], 0x5A);
    pc.Out(2, 1);
    EXPECT_EQ(pc.w[0x1000], 0x11);
    pc.Unlock();
}

TEST_F(BoardTest, ReadsBlocksAndGroupsFromMemory) {
    Response r = pc.Exchange(0, 0x0181, Item(D200, 100, 4));
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.low, 0x81);
    EXPECT_EQ(r.Word(0), 11);
    EXPECT_EQ(r.Word(3), 44);
    EXPECT_EQ(r.Word(4), 0);

    // Group: one word per item in item order, marks on all but the last item.
    r = pc.Exchange(
        5, 0x0181, Concat({Item(D200, 103, 1, true), Item(M200, 3, 1, true), Item(D200, 1023, 1)}));
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.Word(0), 44);
    EXPECT_EQ(r.Word(1), 'A' | 'B' << 8);
    EXPECT_EQ(r.Word(2), 7);

    // A 64-word read fills the whole response.
    board.PokeWord(2, D1000, 9999 - 63, 0x1234);
    r = pc.Exchange(31, 0x0281, Item(D1000, 9999 - 63, 64));
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.Word(0), 0x1234);
    EXPECT_EQ(r.Word(63), 99);
}

TEST_F(BoardTest, ResponseBitLivesUntilThePcWithdraws) {
    ASSERT_TRUE(pc.Send(9, 0x0181, Item(D200, 100, 1)));
    EXPECT_FALSE(pc.Ready(9));
    board.ProcessOnce();
    EXPECT_TRUE(pc.Ready(9));
    board.ProcessOnce();  // answered once, not again
    EXPECT_EQ(trace.size(), 1u);
    pc.Withdraw(9);
    EXPECT_TRUE(pc.Ready(9));  // until the firmware has seen it
    board.ProcessOnce();
    EXPECT_FALSE(pc.Ready(9));
}

TEST_F(BoardTest, WritesWordsAndBits) {
    Response r = pc.Exchange(30, 0x0182, Item(D200, 500, 2), {0x34, 0x12, 0xFF, 0xFF});
    EXPECT_EQ(r.error, 0);
    std::uint16_t v = 0;
    ASSERT_TRUE(board.PeekWord(1, D200, 500, v));
    EXPECT_EQ(v, 0x1234);
    ASSERT_TRUE(board.PeekWord(1, D200, 501, v));
    EXPECT_EQ(v, 0xFFFF);
    EXPECT_EQ(r.Word(0), 0);  // a write answers no data

    // Set bit 4, then clear bit 0: keep low, set low, keep high, set high.
    board.PokeWord(1, M200, 10, 0x0001);
    EXPECT_EQ(pc.Exchange(30, 0x0183, Item(M200, 10, 1), {0xFF, 0x10, 0xFF, 0x00}).error, 0);
    board.PeekWord(1, M200, 10, v);
    EXPECT_EQ(v, 0x0011);
    EXPECT_EQ(pc.Exchange(30, 0x0183, Item(M200, 10, 1), {0xFE, 0x00, 0xFF, 0x00}).error, 0);
    board.PeekWord(1, M200, 10, v);
    EXPECT_EQ(v, 0x0010);
    // Bit 12, in the high byte.
    EXPECT_EQ(pc.Exchange(30, 0x0183, Item(M200, 10, 1), {0xFF, 0x00, 0xFF, 0x10}).error, 0);
    board.PeekWord(1, M200, 10, v);
    EXPECT_EQ(v, 0x1010);

    // What was written reads back through the line.
    r = pc.Exchange(2, 0x0181, Item(D200, 500, 1));
    EXPECT_EQ(r.Word(0), 0x1234);
}

TEST_F(BoardTest, JournalRecordsAppliedWritesOnly) {
    std::vector<sim::AppliedWrite> journal;
    board.SetJournal([&](const sim::AppliedWrite& w) { journal.push_back(w); });
    pc.Exchange(30, 0x0182, Item(D200, 500, 2), {0x34, 0x12, 0xFF, 0xFF});
    pc.Exchange(30, 0x0183, Item(M200, 10, 1), {0xFE, 0x00, 0xFF, 0x00});   // clear bit 0
    pc.Exchange(30, 0x0383, Item(0x794, 10, 1), {0xFF, 0x10, 0xFF, 0x00});  // ERR answers 0x12
    pc.Exchange(30, 0x0182, Item(D200, 1023, 2), {1, 0, 2, 0});             // beyond D1023
    pc.Exchange(30, 0x0181, Item(D200, 500, 1));
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_GT(journal[0].monotonic, 0);
    journal[0].monotonic = 12.5;
    journal[1].monotonic = 13;
    EXPECT_EQ(sim::JournalLine(journal[0]),
              R"({"seq":1,"t":12.500000,"station":1,"area":1906,"device":"D","word":500,)"
              R"("count":2,"words":[4660,65535]})");
    EXPECT_EQ(sim::JournalLine(journal[1]),
              R"({"seq":2,"t":13.000000,"station":1,"area":1907,"device":"M","word":10,)"
              R"("count":1,"keep":65534,"set":0,"bit":0,"value":0})");
}

TEST_F(BoardTest, BadRequestsGetErrorNumbers) {
    board.PokeWord(1, D200, 100, 0xBEEF);
    struct Case {
        const char* what;
        std::uint16_t command;
        std::vector<std::uint8_t> request, data;
        std::uint8_t error;
    };
    std::vector<std::uint8_t> eleven;
    for (int i = 0; i < 11; ++i) {
        auto it = Item(D200, static_cast<std::uint16_t>(i), 1, true);
        eleven.insert(eleven.end(), it.begin(), it.end());
    }
    std::vector<std::uint8_t> tenMarked(eleven.begin(), eleven.begin() + 60);
    const std::vector<Case> cases = {
        {"unknown function", 0x0185, Item(D200, 100, 1), {}, sim::ERR_FUNCTION},
        {"area of another CPU", 0x0181, Item(D1000, 100, 1), {}, sim::ERR_AREA},
        {"past the last word", 0x0181, Item(D200, 1023, 2), {}, sim::ERR_RANGE},
        {"past the last word, later item",
         0x0181,
         Concat({Item(D200, 1, 1, true), Item(M200, 64, 1)}),
         {},
         sim::ERR_RANGE},
        {"zero words", 0x0181, Item(D200, 100, 0), {}, sim::ERR_MALFORMED},
        {"more than 64 words",
         0x0181,
         Concat({Item(D200, 0, 60, true), Item(D200, 0, 5)}),
         {},
         sim::ERR_MALFORMED},
        {"mark on the tenth item", 0x0181, tenMarked, {}, sim::ERR_MALFORMED},
        {"write with a mark", 0x0182, Item(D200, 100, 1, true), {1, 0}, sim::ERR_MALFORMED},
        {"write of 62 words", 0x0182, Item(D200, 0, 62), {}, sim::ERR_MALFORMED},
        {"bit write of two words", 0x0183, Item(D200, 100, 2), {0, 0, 0, 0}, sim::ERR_MALFORMED},
        {"write past the end", 0x0182, Item(D200, 1023, 2), {1, 0, 2, 0}, sim::ERR_RANGE},
        {"station not on the line", 0x0481, Item(D200, 100, 1), {}, sim::ERR_NO_STATION},
        {"station answering an error", 0x0381, Item(0x794, 0, 1), {}, 0x12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Response r = pc.Exchange(3, c.command, c.request, c.data);
        EXPECT_EQ(r.error, c.error);
        EXPECT_EQ(r.Word(0), 0);  // no data with an error
    }
    // No failed write changed memory.
    std::uint16_t v = 0;
    board.PeekWord(1, D200, 100, v);
    EXPECT_EQ(v, 0xBEEF);
    board.PeekWord(1, D200, 1023, v);
    EXPECT_EQ(v, 7);
}

TEST_F(BoardTest, AbsentAndSlowStations) {
    ASSERT_TRUE(pc.Send(0, 0x0781, Item(0x112, 0, 1)));  // GONE
    ASSERT_TRUE(pc.Send(1, 0x0981, Item(D200, 0, 1)));   // SLOW
    board.ProcessOnce();
    clock.Advance(5999);
    board.ProcessOnce();
    EXPECT_FALSE(pc.Ready(0));
    EXPECT_FALSE(pc.Ready(1));
    clock.Advance(1);
    board.ProcessOnce();
    EXPECT_TRUE(pc.Ready(1));
    EXPECT_EQ(pc.Take(1).error, 0);
    clock.Advance(60000);
    board.ProcessOnce();
    EXPECT_FALSE(pc.Ready(0));

    // The PC gives up on the absent station; the slot is free and clean afterwards.
    pc.Withdraw(0);
    board.ProcessOnce();
    EXPECT_FALSE(pc.Ready(0));
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(
        trace.back(),
        "slot 00 READ station 7 GONE: D0000+1 -> withdrawn by the PC unanswered after 66000 ms");
    EXPECT_EQ(pc.Exchange(0, 0x0181, Item(D200, 100, 1)).Word(0), 11);
}

TEST(BoardFaults, SilentPeriodsCountFromTheBoardComingUp) {
    sim::Board board(Line(R"({"stations": [{"name": "FLAKY", "number": 5, "cpu": "K-200",
        "memory": {"D0000": 42},
        "silent": [{"toMs": 3000}, {"fromMs": 8000, "toMs": 9000}]}]})"));
    plat::FakeClock clock{50000};
    board.SetClock(&clock);
    Pc pc(board);
    pc.Reset();
    ASSERT_TRUE(pc.Detect());
    const auto read = Item(D200, 0, 1);

    // Taken while silent: never answered, even once the station speaks again.
    ASSERT_TRUE(pc.Send(0, 0x0581, read));
    board.ProcessOnce();
    clock.Advance(2999);
    board.ProcessOnce();
    EXPECT_FALSE(pc.Ready(0));
    clock.Advance(3000);
    board.ProcessOnce();
    EXPECT_FALSE(pc.Ready(0));
    pc.Withdraw(0);
    board.ProcessOnce();

    // Between the periods it answers normally.
    Response r = pc.Exchange(0, 0x0581, read);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.Word(0), 42);

    clock.Set(50000 + 8000);
    ASSERT_TRUE(pc.Send(1, 0x0581, read));
    board.ProcessOnce();
    clock.Advance(999);
    board.ProcessOnce();
    EXPECT_FALSE(pc.Ready(1));
    pc.Withdraw(1);
    board.ProcessOnce();
    clock.Advance(1);
    EXPECT_EQ(pc.Exchange(1, 0x0581, read).Word(0), 42);

    // A reset and a new handshake start the periods over.
    clock.Advance(60000);
    pc.Reset();
    ASSERT_TRUE(pc.Detect());
    pc.own[0] = 0;
    ASSERT_TRUE(pc.Send(2, 0x0581, read));
    board.ProcessOnce();
    clock.Advance(100);
    board.ProcessOnce();
    EXPECT_FALSE(pc.Ready(2));
    pc.Withdraw(2);
    board.ProcessOnce();
    clock.Advance(3000);
    EXPECT_EQ(pc.Exchange(2, 0x0581, read).Word(0), 42);
}

TEST_F(BoardTest, SlotReusedBeforeTheAnswerServesTheNewRequest) {
    ASSERT_TRUE(pc.Send(6, 0x0981, Item(D200, 0, 1)));  // SLOW: still pending
    board.ProcessOnce();
    // Withdrawn and refilled between two looks of the firmware.
    pc.Withdraw(6);
    ASSERT_TRUE(pc.Send(6, 0x0181, Item(D200, 101, 1)));
    board.ProcessOnce();
    ASSERT_TRUE(pc.Ready(6));
    EXPECT_EQ(pc.Take(6).Word(0), 22);
}

TEST_F(BoardTest, ResetDropsPendingRequests) {
    ASSERT_TRUE(pc.Send(2, 0x0781, Item(0x112, 0, 1)));
    board.ProcessOnce();
    pc.Reset();
    ASSERT_TRUE(pc.Detect());
    pc.own[0] = 0;
    EXPECT_FALSE(pc.Ready(2));
    ASSERT_TRUE(pc.Lock(2));
    pc.Out(2, 0);
    EXPECT_EQ(pc.w[kBitmap], 0);
    pc.Unlock();
    EXPECT_EQ(pc.Exchange(2, 0x0181, Item(D200, 102, 1)).Word(0), 33);
}

TEST_F(BoardTest, TraceDecodesEachExchange) {
    pc.Exchange(3, 0x0181, Concat({Item(D200, 100, 2, true), Item(M200, 3, 1)}));
    pc.Exchange(30, 0x0183, Item(M200, 10, 1), {0xFF, 0x10, 0xFF, 0x00});
    pc.Exchange(4, 0x0181, Item(D1000, 0, 1));
    ASSERT_EQ(trace.size(), 3u);
    EXPECT_EQ(
        trace[0],
        "slot 03 READ station 1 PLC1: D0100+2, M0003+1 data 000B 0016 4241 -> error 00 (ok), 0 ms");
    EXPECT_EQ(
        trace[1],
        "slot 30 WRITE BIT station 1 PLC1: M0010+1 keep FFFF set 0010 -> error 00 (ok), 0 ms");
    EXPECT_EQ(trace[2],
              "slot 04 READ station 1 PLC1: area 0x0604 word 0+1 -> error 03 (unknown area), 0 ms");
}

TEST(BoardThread, FirmwareThreadAnswersOnItsOwn) {
    sim::Board board(Line());
    Pc pc(board);
    pc.Reset();
    ASSERT_TRUE(pc.Detect());
    board.Start();
    // Several rounds, so that the PC meets the firmware in the window now and then.
    for (int round = 0; round < 20; ++round) {
        const int slot = round % 32;
        board.PokeWord(1, D200, 600, static_cast<std::uint16_t>(round));
        ASSERT_TRUE(pc.Send(slot, 0x0181, Item(D200, 600, 1)));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!pc.Ready(slot) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        ASSERT_TRUE(pc.Ready(slot)) << "round " << round;
        EXPECT_EQ(pc.Take(slot).Word(0), round);
        pc.Withdraw(slot);
    }
    board.Stop();
    board.Stop();  // stopping twice is harmless
}
