// The board's port accesses through the socket and the service are the ones it makes on a device
// that performs every call before returning: same ports, same values, same order, and the window
// as it was at each access. Writes the client does not wait for may change when a call returns,
// never what the board sees.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board/dluboard.h"
#include "platform/platform.h"
#include "platform/tvioctrl.h"
#include "server.h"

namespace {

struct Access {
    char kind;  // 'r' or 'w'
    std::uint16_t port;
    std::uint8_t value;
    std::uint32_t window;  // checksum of the window at the access
    bool operator==(const Access&) const = default;
};

// A board whose access is always granted, with one window and no banks, so that a request the
// PC places is found ready at once. Access number `failAt` fails.
struct RecordingBoard : iosvc::IBackend {
    RecordingBoard() {
        fd = ::memfd_create("port-order", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        if (fd >= 0 && ::ftruncate(fd, tvio::kWindowSize) == 0 &&
            ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW) == 0)
            window = static_cast<std::uint8_t*>(
                ::mmap(nullptr, tvio::kWindowSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    }
    ~RecordingBoard() override {
        if (window) ::munmap(window, tvio::kWindowSize);
        if (fd >= 0) ::close(fd);
    }
    bool Record(char kind, std::uint16_t port, std::uint8_t value) {
        std::uint32_t sum = 0;
        for (std::uint32_t i = 0; i < 0x2200; ++i) sum = sum * 31 + window[i];
        std::lock_guard<std::mutex> lock(mu);
        seen.push_back({kind, port, value, sum});
        return static_cast<int>(seen.size()) - 1 != failAt;
    }
    bool ReadPort(std::uint16_t port, std::uint8_t& value) override {
        value = 0;  // granted, and the board up
        return Record('r', port, 0);
    }
    bool WritePort(std::uint16_t port, std::uint8_t value) override {
        return Record('w', port, value);
    }
    bool MapWindow(std::uint32_t, std::uint32_t, int& out, std::uint64_t& offset) override {
        out = fd;
        offset = 0;
        return true;
    }
    std::string Describe() const override { return "recording"; }
    std::vector<Access> Seen() {
        std::lock_guard<std::mutex> lock(mu);
        return seen;
    }

    int fd = -1;
    std::uint8_t* window = nullptr;
    int failAt = -1;
    std::mutex mu;
    std::vector<Access> seen;
};

// Every call performed before it returns, straight on the backend.
struct WaitingDevice : plat::IDevice {
    explicit WaitingDevice(RecordingBoard& b) : board(b) {}
    plat::HANDLE CreateFileA(const char*, std::uint32_t, std::uint32_t, std::uint32_t,
                             std::uint32_t) override {
        return 1;
    }
    bool DeviceIoControl(plat::HANDLE, std::uint32_t code, const void* in, std::uint32_t inSize,
                         void* out, std::uint32_t, std::uint32_t* returned) override {
        std::uint32_t word[2] = {};
        std::memcpy(word, in, std::min<std::size_t>(inSize, sizeof word));
        if (code == tvio::IOCTL_READ_PORT_BYTE && out) {
            std::uint8_t v = 0;
            if (!board.ReadPort(static_cast<std::uint16_t>(word[0]), v)) return false;
            std::memset(out, 0, 4);
            std::memcpy(out, &v, 1);
            return true;
        }
        if (code == tvio::IOCTL_WRITE_PORT_BYTE)
            return board.WritePort(static_cast<std::uint16_t>(word[0]),
                                   static_cast<std::uint8_t>(word[1]));
        void* p = board.window;
        std::memcpy(out, &p, sizeof p);
        *returned = sizeof p;
        return true;
    }
    bool CloseHandle(plat::HANDLE) override { return true; }
    bool GetVersionExA(plat::OSVERSIONINFOA* info) override {
        info->dwPlatformId = plat::VER_PLATFORM_WIN32_NT;
        return true;
    }
    RecordingBoard& board;
};

struct Outcome {
    bool sent = false;
    int answered = -2, next = -2;
    std::vector<Access> seen;
};

// A request placed, its answer taken, and a look for another.
Outcome Exchange(RecordingBoard& board, std::size_t settle) {
    Outcome o;
    CDluBoard dlu;
    if (dlu.Open(4, 6) != 0) return o;
    const std::uint8_t items[6] = {0x07, 0x79, 0x00, 0x64, 0x00, 0x02};
    o.sent = dlu.SendRequest(DLU_SLOT_BLOCK, 3, 0x0181, items, sizeof items);
    std::uint8_t data[DLU_RESPONSE_SIZE];
    std::uint32_t status = 0;
    o.answered = dlu.ReceiveResponse(data, status);
    o.next = dlu.ReceiveResponse(data, status);
    dlu.Close();
    // What was sent before the close reaches the board after it.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (board.Seen().size() < settle && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    o.seen = board.Seen();
    return o;
}

TEST(IoServicePortOrder, TheBoardSeesWhatAWaitingDeviceGivesIt) {
    RecordingBoard reference;
    WaitingDevice waiting(reference);
    plat::SetDevice(&waiting);
    const Outcome want = Exchange(reference, 0);
    plat::SetDevice(nullptr);
    ASSERT_TRUE(want.sent);
    ASSERT_EQ(want.answered, 0);
    ASSERT_EQ(want.next, -1);

    struct Row {
        const char* what;
        int failAt;  // access the board fails, -1 none
        Outcome expect;
    };
    // Access 0 is the first access request, a write nobody waits for. The service hangs up on its
    // failure, so the status read already sent after it never reaches the board; the client
    // finds the connection closed.
    Outcome failed{false, -1, -1, {want.seen[0]}};
    const Row rows[] = {
        {"every access goes well", -1, want},
        {"an access request fails at the board", 0, failed},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string dir =
            (std::filesystem::temp_directory_path() / ("qx-order-" + std::to_string(::getpid())))
                .string();
        ::setenv("QX_DEVICE_DIR", dir.c_str(), 1);
        RecordingBoard board;
        board.failAt = row.failAt;
        iosvc::CIoServer server(board);
        ASSERT_TRUE(server.Listen(dir + "/TVIOCTRL.sock"));
        int stop[2];
        ASSERT_EQ(::pipe(stop), 0);
        std::thread serving([&] { server.Run(stop[0]); });
        const Outcome got = Exchange(board, row.expect.seen.size());
        (void)!::write(stop[1], "x", 1);
        serving.join();
        server.Close();
        ::close(stop[0]);
        ::close(stop[1]);
        std::filesystem::remove_all(dir);
        ::unsetenv("QX_DEVICE_DIR");

        EXPECT_EQ(got.sent, row.expect.sent);
        EXPECT_EQ(got.answered, row.expect.answered);
        EXPECT_EQ(got.next, row.expect.next);
        EXPECT_TRUE(got.seen == row.expect.seen)
            << got.seen.size() << " accesses, " << row.expect.seen.size() << " expected";
    }
}

}  // namespace
