// The board protocol over the real service and its simulated board: what the module does at
// run time, minus the engine.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "board/dluboard.h"
#include "config/address.h"
#include "platform/fakes.h"
#include "platform/linux_device.h"
#include "platform/tvioctrl.h"
#include "service_process.h"

using namespace iosvc_test;

namespace {

constexpr int kIoIndex = 4;          // 0x340
constexpr int kMemIndex = 6;         // 0xD8000
constexpr int kDevM = 1, kDevD = 7;  // in "PMLKFTCDS"

const char kScenario[] = R"({
  "board": {"port": "0x340", "window": "0xD8000"},
  "stations": [
    {"name": "LINE", "number": 1, "cpu": "Master K-200",
     "memory": {"D0100": [11, 22, 33, 44, 55, 66, 77, 88, 99, 110], "M0010": [4660]}},
    {"name": "GONE", "number": 3, "cpu": "Master K-200", "absent": true},
    {"name": "FAULTY", "number": 4, "cpu": "Master K-200", "errorNumber": 18}
  ]
})";

struct Item {
    int area, word, count;
};

// Request items are big-endian triples; all but the last of a group carry the "more" mark.
std::vector<std::uint8_t> Items(const std::vector<Item>& items) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        for (int v : {items[i].area, items[i].word, items[i].count}) {
            out.push_back(static_cast<std::uint8_t>(v >> 8));
            out.push_back(static_cast<std::uint8_t>(v));
        }
        if (i + 1 < items.size()) out[6 * i + 4] |= 0x80;
    }
    return out;
}

std::uint16_t Word(const std::uint8_t* data, int index) {
    return static_cast<std::uint16_t>(data[2 * index] | data[2 * index + 1] << 8);
}

int AreaD() { return AreaCode(0, kDevD); }
int AreaM() { return AreaCode(0, kDevM); }

struct RecordingOwner : IDluSlotOwner {
    void OnSlotTimeout(std::int32_t kind, std::int32_t id) override { ended.push_back({kind, id}); }
    std::vector<std::pair<std::int32_t, std::int32_t>> ended;
};

class IoServiceBoard : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.Path().empty());
        ::setenv("QX_DEVICE_DIR", dir.Path().c_str(), 1);
        plat::SetDevice(nullptr);
        ASSERT_TRUE(StartService(kScenario)) << service.LogText();
    }
    void TearDown() override {
        board.Close();
        if (service.Running()) {
            EXPECT_EQ(service.Stop(SIGTERM), 0) << service.LogText();
        }
        ::unsetenv("QX_DEVICE_DIR");
    }
    bool StartService(const std::string& scenario) {
        std::string file = dir.File("scenario.json");
        return WriteFile(file, scenario) &&
               service.Start({"--simulate", file, "--trace", "--socket", dir.File("TVIOCTRL.sock"),
                              "--journal", dir.File("journal.jsonl")},
                             dir.File("service.log"));
    }
    void BringUp(CDluBoard& b) {
        ASSERT_EQ(b.Open(kIoIndex, kMemIndex), 0);
        b.Reset();
        ASSERT_TRUE(b.Detect()) << service.LogText();
    }
    // The next response, waiting at most `ms` of real time for it.
    int Receive(std::uint8_t* buffer, std::uint32_t& status, int ms = 3000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        do {
            int slot = board.ReceiveResponse(buffer, status);
            if (slot >= 0) return slot;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } while (std::chrono::steady_clock::now() < deadline);
        return -1;
    }
    std::vector<std::uint16_t> ReadWords(int station, int area, int word, int count) {
        auto req = Items({{area, word, count}});
        std::uint16_t command = static_cast<std::uint16_t>(station << 8 | 0x81);
        EXPECT_TRUE(board.SendRequest(DLU_SLOT_BLOCK, 0, command, req.data(), 6));
        std::uint8_t buffer[DLU_RESPONSE_SIZE] = {};
        std::uint32_t status = 0xFFFF;
        EXPECT_GE(Receive(buffer, status), 0);
        EXPECT_EQ(status, 0u);
        std::vector<std::uint16_t> words;
        for (int i = 0; i < count; ++i) words.push_back(Word(buffer, i));
        return words;
    }

    TempDir dir;
    ServiceProcess service;
    QuickClock clock;
    plat::ScopedClock useClock{&clock};
    CDluBoard board;
};

TEST_F(IoServiceBoard, BlockAndGroupReadsReturnTheStationsMemory) {
    BringUp(board);
    auto block = Items({{AreaD(), 100, 10}});
    ASSERT_TRUE(board.SendRequest(DLU_SLOT_BLOCK, 5, 0x0181, block.data(), 6));
    auto group = Items({{AreaD(), 100, 1}, {AreaD(), 103, 1}, {AreaD(), 109, 1}});
    ASSERT_TRUE(board.SendRequest(DLU_SLOT_GROUP, 2, 0x0181, group.data(), 18));
    EXPECT_EQ(board.Outstanding(), 2);

    int seen = 0;
    for (int n = 0; n < 2; ++n) {
        std::uint8_t buffer[DLU_RESPONSE_SIZE] = {};
        std::uint32_t status = 0xFFFF;
        int slot = Receive(buffer, status);
        ASSERT_GE(slot, 0) << service.LogText();
        EXPECT_EQ(status, 0u);
        const DluSlot& s = board.Slot(slot);
        if (s.kind == DLU_SLOT_BLOCK) {
            EXPECT_EQ(s.id, 5);
            for (int i = 0; i < 10; ++i) EXPECT_EQ(Word(buffer, i), 11 * (i + 1)) << i;
            seen |= 1;
        } else {
            EXPECT_EQ(s.kind, DLU_SLOT_GROUP);
            EXPECT_EQ(s.id, 2);
            EXPECT_EQ(Word(buffer, 0), 11);
            EXPECT_EQ(Word(buffer, 1), 44);
            EXPECT_EQ(Word(buffer, 2), 110);
            seen |= 2;
        }
    }
    EXPECT_EQ(seen, 3);
    EXPECT_EQ(board.Outstanding(), 0);
    EXPECT_NE(service.LogText().find("trace: "), std::string::npos) << "--trace logs exchanges";
}

TEST_F(IoServiceBoard, WrittenWordsAndBitsReadBack) {
    BringUp(board);
    auto header = Items({{AreaD(), 200, 2}});
    std::uint8_t words[] = {0x11, 0x11, 0x22, 0x22};
    ASSERT_TRUE(board.SendWriteRequest(0, 0x0182, header.data(), words, 4));
    std::uint8_t buffer[DLU_RESPONSE_SIZE];
    std::memset(buffer, 0xEE, sizeof buffer);
    std::uint32_t status = 0xFFFF;
    int slot = Receive(buffer, status);
    ASSERT_GE(slot, 0);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(board.Slot(slot).kind, DLU_SLOT_WRITE);
    EXPECT_EQ(buffer[0], 0xEE) << "a write's answer carries no data";

    // M0010 = 0x1234: set bit 0, then clear bit 4 (keep low, set low, keep high, set high).
    auto bitHeader = Items({{AreaM(), 10, 1}});
    std::uint8_t setBit0[] = {0xFF, 0x01, 0xFF, 0x00};
    std::uint8_t clearBit4[] = {0xEF, 0x00, 0xFF, 0x00};
    ASSERT_TRUE(board.SendWriteRequest(1, 0x0183, bitHeader.data(), setBit0, 4));
    ASSERT_GE(Receive(buffer, status), 0);
    EXPECT_EQ(status, 0u);
    ASSERT_TRUE(board.SendWriteRequest(2, 0x0183, bitHeader.data(), clearBit4, 4));
    ASSERT_GE(Receive(buffer, status), 0);
    EXPECT_EQ(status, 0u);

    EXPECT_EQ(ReadWords(1, AreaD(), 200, 2), (std::vector<std::uint16_t>{0x1111, 0x2222}));
    EXPECT_EQ(ReadWords(1, AreaM(), 10, 1), (std::vector<std::uint16_t>{0x1225}));

    // The journal: the service's start, then the three writes in order, each a whole line.
    const std::string journal = ReadFile(dir.File("journal.jsonl"));
    const std::size_t wordWrite = journal.find(R"("word":200,"count":2,"words":[4369,8738]})"
                                               "\n");
    const std::size_t set = journal.find(R"("keep":65535,"set":1,"bit":0,"value":1})"
                                         "\n");
    const std::size_t clear = journal.find(R"("keep":65519,"set":0,"bit":4,"value":0})"
                                           "\n");
    EXPECT_EQ(journal.rfind("{\"start\":true,", 0), 0u) << journal;
    EXPECT_EQ(std::count(journal.begin(), journal.end(), '\n'), 4) << journal;
    EXPECT_TRUE(wordWrite < set && set < clear && clear != std::string::npos) << journal;
}

TEST_F(IoServiceBoard, AbsentStationStaysSilentUntilTheTimeOutEndsIt) {
    BringUp(board);
    RecordingOwner owner;
    board.m_pOwner = &owner;
    auto req = Items({{AreaD(), 100, 1}});
    ASSERT_TRUE(board.SendRequest(DLU_SLOT_BLOCK, 9, 0x0381, req.data(), 6));
    ASSERT_TRUE(board.SendRequest(DLU_SLOT_BLOCK, 1, 0x0181, req.data(), 6));

    // The present station answers; the absent one still has nothing well after that.
    std::uint8_t buffer[DLU_RESPONSE_SIZE];
    std::uint32_t status;
    int slot = Receive(buffer, status);
    ASSERT_GE(slot, 0);
    EXPECT_EQ(board.Slot(slot).id, 1);
    EXPECT_EQ(Receive(buffer, status, 300), -1);
    EXPECT_EQ(board.Outstanding(), 1);

    board.CheckTimeouts();
    EXPECT_TRUE(owner.ended.empty()) << "not yet 5 s";
    clock.Jump(DLU_REQUEST_TIMEOUT + 1);
    board.CheckTimeouts();
    ASSERT_EQ(owner.ended.size(), 1u);
    EXPECT_EQ(owner.ended[0], std::make_pair(DLU_SLOT_BLOCK, 9));
    EXPECT_EQ(board.Outstanding(), 0);
}

TEST_F(IoServiceBoard, ErrorAnswersGiveTheirStatusAndNoData) {
    BringUp(board);
    auto req = Items({{AreaD(), 100, 4}});
    ASSERT_TRUE(board.SendRequest(DLU_SLOT_BLOCK, 0, 0x0481, req.data(), 6));  // station 4
    std::uint8_t buffer[DLU_RESPONSE_SIZE];
    std::memset(buffer, 0xEE, sizeof buffer);
    std::uint32_t status = 0;
    ASSERT_GE(Receive(buffer, status), 0);
    EXPECT_EQ(status, 0x1200u);
    EXPECT_EQ(buffer[0], 0xEE);

    ASSERT_TRUE(board.SendRequest(DLU_SLOT_BLOCK, 0, 0x0981, req.data(), 6));  // nobody at 9
    ASSERT_GE(Receive(buffer, status), 0);
    EXPECT_NE(status, 0u);
    EXPECT_EQ(status & 0xFF, 0u);
    EXPECT_EQ(buffer[0], 0xEE);
}

TEST_F(IoServiceBoard, TwoBoardObjectsShareOneServiceAndOneWindow) {
    BringUp(board);
    CDluBoard second;
    ASSERT_EQ(second.Open(kIoIndex, kMemIndex), 0);
    ASSERT_NE(second.Window(), board.Window());

    auto req = Items({{AreaD(), 104, 2}});
    ASSERT_TRUE(board.SendRequest(DLU_SLOT_BLOCK, 0, 0x0181, req.data(), 6));
    // The second mapping shows what the first one wrote.
    EXPECT_EQ(std::memcmp(second.Window() + DLU_OFS_REQUEST, req.data(), 6), 0);
    std::uint8_t buffer[DLU_RESPONSE_SIZE];
    std::uint32_t status;
    ASSERT_GE(Receive(buffer, status), 0);
    EXPECT_EQ(Word(buffer, 0), 55);

    // And it works the protocol itself once the first one is done.
    second.Reset();
    ASSERT_TRUE(second.Detect());
    ASSERT_TRUE(second.SendRequest(DLU_SLOT_BLOCK, 0, 0x0181, req.data(), 6));
    int slot = -1;
    for (int i = 0; i < 3000 && slot < 0; ++i) {
        slot = second.ReceiveResponse(buffer, status);
        if (slot < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_GE(slot, 0);
    EXPECT_EQ(Word(buffer, 1), 66);
    second.Close();
}

TEST_F(IoServiceBoard, WindowElsewhereShowsAnEmptyBusAndBadIndicesAreRefused) {
    // Each mapping is an empty bus of its own: what one client writes there no other sees.
    CDluBoard elsewhere, another;
    ASSERT_EQ(elsewhere.Open(kIoIndex, 0), 0);
    ASSERT_EQ(another.Open(kIoIndex, 0), 0);
    EXPECT_EQ(elsewhere.Window()[0x100], 0xFF);
    elsewhere.Window()[0x100] = 0x12;
    EXPECT_EQ(another.Window()[0x100], 0xFF);
    elsewhere.Close();
    another.Close();

    CDluBoard bad;
    EXPECT_EQ(bad.Open(kIoIndex, kDluMemBaseCount), 13);
    bad.Close();
    CDluBoard badPort;
    EXPECT_EQ(badPort.Open(kDluIoBaseCount, kMemIndex), 13);
    badPort.Close();

    CDluBoard wrongPort;  // no board at 0x300: detection fails
    ASSERT_EQ(wrongPort.Open(0, kMemIndex), 0);
    wrongPort.Reset();
    EXPECT_FALSE(wrongPort.Detect());
    wrongPort.Close();
}

TEST_F(IoServiceBoard, RefusedMappingMakesOpenFailWithThirteen) {
    EXPECT_EQ(service.Stop(SIGTERM), 0);
    std::string scenario = kScenario;
    scenario.replace(scenario.find("\"window\": \"0xD8000\""), 19,
                     "\"window\": \"0xD8000\", \"faults\": {\"mappingRefused\": true}");
    ASSERT_TRUE(StartService(scenario)) << service.LogText();
    EXPECT_EQ(board.Open(kIoIndex, kMemIndex), 13);
    EXPECT_TRUE(board.IsOpen()) << "the handle stays open until Close";
}

}  // namespace

namespace {

plat::HANDLE OpenClient() {
    return plat::Device().CreateFileA(tvio::kDevicePathNt, plat::GENERIC_READ | plat::GENERIC_WRITE,
                                      plat::FILE_SHARE_READ | plat::FILE_SHARE_WRITE,
                                      plat::OPEN_EXISTING, 0);
}

std::uint8_t InVia(plat::HANDLE h, std::uint32_t port) {
    std::uint32_t out = 0xEE, returned = 0;
    EXPECT_TRUE(plat::Device().DeviceIoControl(h, tvio::IOCTL_READ_PORT_BYTE, &port, 4, &out, 4,
                                               &returned));
    return static_cast<std::uint8_t>(out);
}

void OutVia(plat::HANDLE h, std::uint32_t port, std::uint32_t value) {
    std::uint32_t in[2] = {port, value};
    std::uint32_t returned = 0;
    EXPECT_TRUE(plat::Device().DeviceIoControl(h, tvio::IOCTL_WRITE_PORT_BYTE, in, 8, nullptr, 0,
                                               &returned));
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

}  // namespace

TEST_F(IoServiceBoard, AccessLeftHeldByAVanishedClientIsGivenBack) {
    BringUp(board);
    constexpr std::uint32_t kControl = 0x340;
    auto waitFor = [&](auto done) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return done();
    };
    auto disconnects = [&] { return Count(service.LogText(), " disconnected"); };

    // A client takes the request bank's access and goes away without giving it back.
    plat::HANDLE gone = OpenClient();
    ASSERT_NE(gone, plat::INVALID_HANDLE_VALUE);
    OutVia(gone, kControl, 0xC2);
    ASSERT_EQ(InVia(gone, kControl) & 0x03, 0x01) << "access granted";
    plat::Device().CloseHandle(gone);

    // Another client finds it free without touching the control port itself.
    plat::HANDLE other = OpenClient();
    ASSERT_NE(other, plat::INVALID_HANDLE_VALUE);
    EXPECT_TRUE(waitFor([&] { return (InVia(other, kControl) & 0x03) == 0x03; }))
        << service.LogText();
    EXPECT_NE(service.LogText().find("left holding access 0xC2 at port 0x340; given back"),
              std::string::npos);

    // Access another client took over since is that client's: a leaving former holder does
    // not take it away.
    plat::HANDLE former = OpenClient();
    ASSERT_NE(former, plat::INVALID_HANDLE_VALUE);
    OutVia(former, kControl, 0xC2);
    ASSERT_EQ(InVia(former, kControl) & 0x03, 0x01);
    OutVia(other, kControl, 0xC1);
    ASSERT_EQ(InVia(other, kControl) & 0x03, 0x02);
    const std::size_t before = disconnects();
    plat::Device().CloseHandle(former);
    ASSERT_TRUE(waitFor([&] { return disconnects() > before; })) << service.LogText();
    EXPECT_EQ(InVia(other, kControl) & 0x03, 0x02);
    EXPECT_EQ(Count(service.LogText(), "left holding access"), 1u);
    OutVia(other, kControl, 0xC0);

    // A client that gave access back leaves nothing to undo.
    OutVia(other, kControl, 0xC2);
    OutVia(other, kControl, 0xC0);
    plat::Device().CloseHandle(other);

    // The firmware still serves everybody else.
    EXPECT_EQ(ReadWords(1, AreaD(), 100, 3), (std::vector<std::uint16_t>{11, 22, 33}));
}
