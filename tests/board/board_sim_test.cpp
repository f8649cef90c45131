// The board protocol against the simulated board firmware, one firmware pass at a time on the
// fake clock.
#include <gtest/gtest.h>

#include <array>
#include <utility>
#include <vector>

#include "board/dluboard.h"
#include "platform/fakes.h"
#include "sim/board.h"

namespace {

constexpr int kStation = 3;
constexpr int kAbsent = 5;
constexpr int kDeviceD = 7;  // index in "PMLKFTCDS"

sim::Scenario MakeScenario() {
    sim::Scenario sc;
    sc.portBase = 0x340;          // I/O index 4
    sc.windowPhysical = 0xD8000;  // memory index 6
    sim::StationSpec st;
    st.number = kStation;
    st.cpuType = 0;
    sc.stations.push_back(st);
    sim::StationSpec gone;
    gone.number = kAbsent;
    gone.absent = true;
    sc.stations.push_back(gone);
    return sc;
}

// One 6-byte request item: area code, word, count, big-endian.
std::array<std::uint8_t, 6> Item(int area, int word, int count) {
    return {static_cast<std::uint8_t>(area >> 8),  static_cast<std::uint8_t>(area),
            static_cast<std::uint8_t>(word >> 8),  static_cast<std::uint8_t>(word),
            static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count)};
}

struct RecordingOwner : IDluSlotOwner {
    std::vector<std::pair<int, int>> ended;
    void OnSlotTimeout(std::int32_t kind, std::int32_t id) override {
        ended.emplace_back(kind, id);
    }
};

class BoardOnSimulator : public ::testing::Test {
protected:
    void BringUp() {
        sim.SetClock(&clock);
        ASSERT_EQ(board.Open(4, 6), 0);
        board.Reset();
        ASSERT_TRUE(board.Detect());
        ASSERT_TRUE(sim.Ready());
    }
    std::uint16_t Command(int station, std::uint8_t fn) {
        return static_cast<std::uint16_t>(station * 256 + fn);
    }

    plat::FakeClock clock{5000};
    sim::Scenario scenario = MakeScenario();
    sim::Board sim{scenario};
    sim::SimDevice dev{sim};
    plat::ScopedClock scopedClock{&clock};
    plat::ScopedDevice scopedDevice{&dev};
    CDluBoard board;
    std::array<std::uint8_t, 128> buffer{};
    std::uint32_t status = 0xFFFFFFFF;
    const int areaD = sim::SimAreaCode(0, kDeviceD);
};

TEST_F(BoardOnSimulator, ReadsAndWritesStationMemory) {
    BringUp();
    ASSERT_TRUE(sim.PokeWord(kStation, areaD, 100, 0x1234));
    ASSERT_TRUE(sim.PokeWord(kStation, areaD, 101, 0x5678));

    auto item = Item(areaD, 100, 2);
    ASSERT_TRUE(board.SendRequest(DLU_SLOT_BLOCK, 0, Command(kStation, sim::FN_READ_WORDS),
                                  item.data(), 6));
    ASSERT_TRUE(sim.ProcessOnce());
    const int slot = board.ReceiveResponse(buffer.data(), status);
    ASSERT_GE(slot, 0);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(buffer[0], 0x34);
    EXPECT_EQ(buffer[1], 0x12);
    EXPECT_EQ(buffer[2], 0x78);
    EXPECT_EQ(buffer[3], 0x56);
    EXPECT_EQ(board.Outstanding(), 0);

    auto header = Item(areaD, 200, 1);
    const std::uint8_t data[2] = {0xCD, 0xAB};
    ASSERT_TRUE(
        board.SendWriteRequest(7, Command(kStation, sim::FN_WRITE_WORDS), header.data(), data, 2));
    ASSERT_TRUE(sim.ProcessOnce());
    const int wslot = board.ReceiveResponse(buffer.data(), status);
    ASSERT_GE(wslot, 0);
    EXPECT_EQ(board.Slot(wslot).kind, DLU_SLOT_WRITE);
    EXPECT_EQ(board.Slot(wslot).id, 7);
    EXPECT_EQ(status, 0u);
    std::uint16_t word = 0;
    ASSERT_TRUE(sim.PeekWord(kStation, areaD, 200, word));
    EXPECT_EQ(word, 0xABCD);
}

TEST_F(BoardOnSimulator, ErrorAnswersAndSilentStations) {
    BringUp();
    RecordingOwner owner;
    board.m_pOwner = &owner;
    buffer.fill(0xAA);

    auto bad = Item(0x7777, 0, 1);
    ASSERT_TRUE(
        board.SendRequest(DLU_SLOT_GROUP, 1, Command(kStation, sim::FN_READ_WORDS), bad.data(), 6));
    auto item = Item(areaD, 0, 1);
    ASSERT_TRUE(
        board.SendRequest(DLU_SLOT_BLOCK, 2, Command(kAbsent, sim::FN_READ_WORDS), item.data(), 6));
    ASSERT_TRUE(sim.ProcessOnce());
    EXPECT_EQ(board.ReceiveResponse(buffer.data(), status), 0);
    EXPECT_NE(status, 0u);
    EXPECT_EQ(status & 0xFF, 0u);
    EXPECT_EQ(buffer[0], 0xAA);
    EXPECT_EQ(board.ReceiveResponse(buffer.data(), status), -1);

    clock.Advance(5001);
    board.CheckTimeouts();
    EXPECT_EQ(owner.ended, (std::vector<std::pair<int, int>>{{DLU_SLOT_BLOCK, 2}}));
    EXPECT_EQ(board.Outstanding(), 0);

    // Both slots come back into use once the firmware has seen them withdrawn.
    ASSERT_TRUE(sim.ProcessOnce());
    ASSERT_TRUE(board.SendRequest(DLU_SLOT_BLOCK, 3, Command(kStation, sim::FN_READ_WORDS),
                                  item.data(), 6));
    EXPECT_TRUE(board.Slot(0).active);
}

// The firmware on its own thread, as in the service: the lock and bank discipline must keep both
// sides out of each other's way.
TEST_F(BoardOnSimulator, ConcurrentFirmwareAnswersEveryRequest) {
    BringUp();
    constexpr int kRequests = 40;
    for (int w = 0; w < kRequests; ++w)
        ASSERT_TRUE(sim.PokeWord(kStation, areaD, w, static_cast<std::uint16_t>(0x100 + w)));
    sim.Start();
    std::vector<int> seen(kRequests, 0);
    int sent = 0, received = 0;
    for (int round = 0; round < 1000000 && received < kRequests; ++round) {
        while (sent < kRequests) {
            auto item = Item(areaD, sent, 1);
            if (!board.SendRequest(DLU_SLOT_BLOCK, sent, Command(kStation, sim::FN_READ_WORDS),
                                   item.data(), 6))
                break;
            ++sent;
        }
        const int slot = board.ReceiveResponse(buffer.data(), status);
        if (slot < 0) continue;
        const int id = board.Slot(slot).id;
        ASSERT_EQ(status, 0u);
        ASSERT_EQ(buffer[0] | buffer[1] << 8, 0x100 + id);
        ++seen[id];
        ++received;
    }
    sim.Stop();
    EXPECT_EQ(received, kRequests);
    EXPECT_EQ(seen, std::vector<int>(kRequests, 1));
    EXPECT_EQ(board.Outstanding(), 0);
}

// A running firmware takes a request when the PC gives the window back, not when its thread next
// gets the processor: from a station that answers at once, the PC's next look finds the answer.
TEST_F(BoardOnSimulator, RunningFirmwareAnswersAtThePcsRelease) {
    BringUp();
    ASSERT_TRUE(sim.PokeWord(kStation, areaD, 0, 0x1234));
    sim.Start();
    for (int i = 0; i < 20; ++i) {
        auto item = Item(areaD, 0, 1);
        ASSERT_TRUE(board.SendRequest(DLU_SLOT_BLOCK, i, Command(kStation, sim::FN_READ_WORDS),
                                      item.data(), 6));
        ASSERT_GE(board.ReceiveResponse(buffer.data(), status), 0) << "request " << i;
        EXPECT_EQ(buffer[0] | buffer[1] << 8, 0x1234);
    }
    sim.Stop();
}

}  // namespace
