// The module's board access (CDluBoard) against the simulated board, through the in-process
// device: bring-up, requests in slots, answers and time-outs.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "board/dluboard.h"
#include "platform/fakes.h"
#include "sim/board.h"
#include "sim_pc.h"

using simtest::Concat;
using simtest::Item;

namespace {

constexpr const char* kLine = R"({
  "board": {"port": "0x340", "window": "0xD8000"},
  "stations": [
    {"name": "PLC1", "number": 1, "cpu": "K-200", "memory": {"D0100": [100, 101, 102, 103]}},
    {"name": "BOILER", "number": 5, "cpu": "K-1000", "memory": {"D5000": [850, 120]}},
    {"name": "PACK", "number": 7, "cpu": "K-250", "absent": true}
  ]})";
constexpr int kIo340 = 4, kMemD8000 = 6;
constexpr std::uint16_t D200 = 0x772, D1000 = 0x604, D250 = 0x112;

sim::Scenario Line(void (*tweak)(sim::Scenario&) = nullptr) {
    sim::Scenario sc;
    std::string error;
    EXPECT_TRUE(sim::ParseScenario(kLine, sc, error)) << error;
    if (tweak) tweak(sc);
    return sc;
}

struct Timeouts : IDluSlotOwner {
    void OnSlotTimeout(std::int32_t kind, std::int32_t id) override { ended.push_back({kind, id}); }
    std::vector<std::pair<int, int>> ended;
};

class DluOnSim : public ::testing::Test {
protected:
    explicit DluOnSim(sim::Scenario sc = Line())
        : board(std::move(sc)), device(board), useClock(&clock), useDevice(&device) {
        dlu.m_pOwner = &timeouts;
    }
    ~DluOnSim() override {
        board.Stop();
        dlu.Close();
    }
    bool BringUp() {
        if (dlu.Open(kIo340, kMemD8000) != 0) return false;
        dlu.Reset();
        return dlu.Detect();
    }
    // Poll as the engine does; the firmware gets one pass per empty look.
    int Receive(std::uint8_t* buffer, std::uint32_t& status) {
        int slot = dlu.ReceiveResponse(buffer, status);
        if (slot < 0) {
            board.ProcessOnce();
            slot = dlu.ReceiveResponse(buffer, status);
        }
        return slot;
    }
    static std::uint16_t Word(const std::uint8_t* b, int i) {
        return static_cast<std::uint16_t>(b[2 * i] | b[2 * i + 1] << 8);
    }

    plat::FakeClock clock{5000};
    sim::Board board;
    sim::SimDevice device;
    plat::ScopedClock useClock;
    plat::ScopedDevice useDevice;
    Timeouts timeouts;
    CDluBoard dlu;
};

}  // namespace

TEST_F(DluOnSim, OpensResetsAndDetects) {
    ASSERT_TRUE(BringUp());
    EXPECT_EQ(dlu.PortBase(), 0x340);
    EXPECT_EQ(dlu.Window(), board.Window());
    EXPECT_TRUE(board.Ready());
}

TEST_F(DluOnSim, OpenFailuresFromTheDevice) {
    device.driverMissing = true;
    EXPECT_EQ(dlu.Open(kIo340, kMemD8000), 12);
    device.driverMissing = false;

    sim::Board refusing(Line([](sim::Scenario& s) { s.mappingRefused = true; }));
    sim::SimDevice refusingDevice(refusing);
    plat::ScopedDevice use(&refusingDevice);
    CDluBoard other;
    EXPECT_EQ(other.Open(kIo340, kMemD8000), 13);
    other.Close();
}

TEST_F(DluOnSim, DetectFailsWhereNoBoardAnswers) {
    // Another port: nothing there.
    ASSERT_EQ(dlu.Open(0, kMemD8000), 0);
    dlu.Reset();
    EXPECT_FALSE(dlu.Detect());

    sim::Board absent(Line([](sim::Scenario& s) { s.noBoard = true; }));
    sim::SimDevice absentDevice(absent);
    plat::ScopedDevice use(&absentDevice);
    CDluBoard other;
    ASSERT_EQ(other.Open(kIo340, kMemD8000), 0);
    other.Reset();
    EXPECT_FALSE(other.Detect());
    other.Close();
}

TEST_F(DluOnSim, BlockAndGroupReadsMatchMemory) {
    ASSERT_TRUE(BringUp());
    const auto block = Item(D1000, 5000, 2);
    ASSERT_TRUE(dlu.SendRequest(DLU_SLOT_BLOCK, 3, 0x0581, block.data(), 6));
    const auto group =
        Concat({Item(D200, 103, 1, true), Item(D200, 100, 1, true), Item(D200, 102, 1)});
    ASSERT_TRUE(dlu.SendRequest(DLU_SLOT_GROUP, 0, 0x0181, group.data(), 18));
    EXPECT_EQ(dlu.Outstanding(), 2);

    std::uint8_t buffer[128];
    std::uint32_t status = 1;
    ASSERT_EQ(Receive(buffer, status), 0);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(dlu.Slot(0).kind, DLU_SLOT_BLOCK);
    EXPECT_EQ(Word(buffer, 0), 850);
    EXPECT_EQ(Word(buffer, 1), 120);
    ASSERT_EQ(Receive(buffer, status), 1);
    EXPECT_EQ(Word(buffer, 0), 103);
    EXPECT_EQ(Word(buffer, 1), 100);
    EXPECT_EQ(Word(buffer, 2), 102);
    EXPECT_EQ(dlu.Outstanding(), 0);

    // The board takes its answers back once the slots are free, so they can be used again.
    board.ProcessOnce();
    EXPECT_EQ(dlu.AllocSlot(DLU_POLL_SLOT_LIMIT), 0);
}

TEST_F(DluOnSim, AbsentStationTimesOutAndSlotsStayForWrites) {
    ASSERT_TRUE(BringUp());
    const auto item = Item(D250, 0, 10);
    for (int i = 0; i < DLU_POLL_SLOT_LIMIT; ++i)
        ASSERT_TRUE(dlu.SendRequest(DLU_SLOT_BLOCK, i, 0x0781, item.data(), 6)) << i;
    EXPECT_FALSE(dlu.SendRequest(DLU_SLOT_BLOCK, 99, 0x0781, item.data(), 6));
    const auto header = Item(D200, 100, 1);
    const std::uint8_t data[2] = {9, 0};
    ASSERT_TRUE(dlu.SendWriteRequest(0, 0x0182, header.data(), data, 2));

    std::uint8_t buffer[128];
    std::uint32_t status = 1;
    ASSERT_EQ(Receive(buffer, status), 30);  // only the write is answered
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(Receive(buffer, status), -1);

    clock.Advance(DLU_REQUEST_TIMEOUT + 1);
    board.ProcessOnce();
    EXPECT_EQ(Receive(buffer, status), -1);
    dlu.CheckTimeouts();
    EXPECT_EQ(timeouts.ended.size(), 30u);
    EXPECT_EQ(dlu.Outstanding(), 0);

    // The board saw the withdrawals; a fresh poll of a present station goes through slot 0.
    board.ProcessOnce();
    const auto good = Item(D200, 100, 1);
    ASSERT_TRUE(dlu.SendRequest(DLU_SLOT_BLOCK, 0, 0x0181, good.data(), 6));
    ASSERT_EQ(Receive(buffer, status), 0);
    EXPECT_EQ(Word(buffer, 0), 9);
}

class DluOnSimLocked : public DluOnSim {
protected:
    DluOnSimLocked() : DluOnSim(Line([](sim::Scenario& s) { s.lockNeverGranted = true; })) {}
};

TEST_F(DluOnSimLocked, RequestsGiveUpWhenAccessIsNeverGranted) {
    ASSERT_TRUE(BringUp());
    clock.SetAutoAdvance(1);
    const auto item = Item(D200, 100, 1);
    EXPECT_FALSE(dlu.SendRequest(DLU_SLOT_BLOCK, 0, 0x0181, item.data(), 6));
    std::uint32_t status = 0;
    EXPECT_EQ(dlu.ReceiveResponse(nullptr, status), -1);
    EXPECT_EQ(dlu.Outstanding(), 0);
}

TEST_F(DluOnSim, WorksAgainstTheFirmwareThread) {
    board.Start();
    ASSERT_TRUE(BringUp());
    std::uint8_t buffer[128];
    for (int round = 0; round < 50; ++round) {
        board.PokeWord(1, D200, 101, static_cast<std::uint16_t>(round));
        const auto item = Item(D200, 100, 2);
        ASSERT_TRUE(dlu.SendRequest(DLU_SLOT_BLOCK, round, 0x0181, item.data(), 6));
        std::uint32_t status = 1;
        int slot = -1;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while ((slot = dlu.ReceiveResponse(buffer, status)) < 0 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        ASSERT_GE(slot, 0) << "round " << round;
        EXPECT_EQ(dlu.Slot(slot).id, round);
        EXPECT_EQ(status, 0u);
        EXPECT_EQ(Word(buffer, 1), round);
    }
}
