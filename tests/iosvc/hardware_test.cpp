// The service's hardware backend, with ordinary files standing in for the port and memory
// devices, reached through the real device client; and the service's life: start, stop, stale
// and foreign sockets, malformed clients, a service that dies under a client.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "board/dluboard.h"
#include "platform/linux_device.h"
#include "platform/tvioctrl.h"
#include "platform/tvioctrl_wire.h"
#include "service_process.h"

using namespace iosvc_test;

namespace {

constexpr std::size_t kPortFileSize = 0x10000;
constexpr std::size_t kMemFileSize = 0xF0000;
constexpr std::uint32_t kWindow = 0xD8000;  // kDluMemBases[6]

std::uint8_t PortPattern(std::size_t i) { return static_cast<std::uint8_t>(i * 7 + 3); }
std::uint8_t MemPattern(std::size_t i) { return static_cast<std::uint8_t>(i * 13 + 5); }

bool ReadPortVia(plat::HANDLE h, std::uint32_t port, std::uint8_t& value) {
    std::uint32_t out = 0xDEADBEEF, returned = 0;
    bool ok =
        plat::Device().DeviceIoControl(h, tvio::IOCTL_READ_PORT_BYTE, &port, 4, &out, 4, &returned);
    value = static_cast<std::uint8_t>(out);
    return ok && returned == 4;
}

bool WritePortVia(plat::HANDLE h, std::uint32_t port, std::uint32_t value) {
    std::uint32_t in[2] = {port, value};
    std::uint32_t returned = 0;
    return plat::Device().DeviceIoControl(h, tvio::IOCTL_WRITE_PORT_BYTE, in, 8, nullptr, 0,
                                          &returned);
}

bool MapVia(plat::HANDLE h, std::uint32_t physical, std::uint32_t length, void** where) {
    tvio::MapRequest req{physical, length};
    std::uint32_t returned = 0;
    return plat::Device().DeviceIoControl(h, tvio::IOCTL_MAP_PHYSICAL_MEMORY, &req, 8, where,
                                          tvio::kMapOutputSize, &returned) &&
           returned == tvio::kMapOutputSize;
}

// Whether the memory device's stand-in is mapped in this process.
bool Mapped(const std::string&) {
    return ReadFile("/proc/self/maps").find("memfd:qx-hw-mem") != std::string::npos;
}

class IoServiceHardware : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.Path().empty());
        std::string ports(kPortFileSize, '\0');
        for (std::size_t i = 0; i < ports.size(); ++i) ports[i] = static_cast<char>(PortPattern(i));
        ASSERT_TRUE(WriteFile(portFile, ports));
        std::string mem(kMemFileSize, '\0');
        for (std::size_t i = 0; i < tvio::kWindowSize; ++i) {
            mem[kWindow + i] = static_cast<char>(MemPattern(i));
        }
        // The memory device's stand-in is a memfd sealed at its size, as the client asks of
        // any window that is not /dev/mem; the service opens it by its /proc name.
        memFd = ::memfd_create(kMemName, MFD_CLOEXEC | MFD_ALLOW_SEALING);
        ASSERT_GE(memFd, 0);
        ASSERT_EQ(::pwrite(memFd, mem.data(), mem.size(), 0), static_cast<ssize_t>(mem.size()));
        ASSERT_EQ(::fcntl(memFd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW), 0);
        memFile = "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(memFd);
        ::setenv("QX_DEVICE_DIR", dir.Path().c_str(), 1);
        plat::SetDevice(nullptr);
        ASSERT_TRUE(StartService()) << service.LogText();
    }
    void TearDown() override {
        if (service.Running()) {
            EXPECT_EQ(service.Stop(SIGTERM), 0) << service.LogText();
        }
        if (memFd >= 0) ::close(memFd);
        ::unsetenv("QX_DEVICE_DIR");
    }
    bool StartService() {
        return service.Start({"--hardware", "--port-device", portFile, "--mem-device", memFile,
                              "--socket", socket, "--ready-file", readyFile},
                             dir.File("service.log"));
    }
    plat::HANDLE OpenDevice() {
        return plat::Device().CreateFileA(
            tvio::kDevicePathNt, plat::GENERIC_READ | plat::GENERIC_WRITE,
            plat::FILE_SHARE_READ | plat::FILE_SHARE_WRITE, plat::OPEN_EXISTING, 0);
    }

    TempDir dir;
    std::string portFile = dir.File("port");
    static constexpr const char* kMemName = "qx-hw-mem";
    int memFd = -1;
    std::string memFile;
    std::string socket = dir.File("TVIOCTRL.sock");
    std::string readyFile = dir.File("ready");
    ServiceProcess service;
};

TEST_F(IoServiceHardware, PortBytesAreReadAndWrittenAtThePortOffset) {
    plat::HANDLE h = OpenDevice();
    ASSERT_NE(h, plat::INVALID_HANDLE_VALUE);
    std::uint8_t v = 0;
    for (std::uint32_t port : {0x300u, 0x345u, 0x3FFu}) {
        ASSERT_TRUE(ReadPortVia(h, port, v)) << std::hex << port;
        EXPECT_EQ(v, PortPattern(port)) << std::hex << port;
    }
    // Only the low byte of the value is written.
    ASSERT_TRUE(WritePortVia(h, 0x346, 0xA5));
    ASSERT_TRUE(ReadPortVia(h, 0x346, v));
    EXPECT_EQ(v, 0xA5);
    std::string ports = ReadFile(portFile);
    EXPECT_EQ(static_cast<std::uint8_t>(ports[0x346]), 0xA5);
    EXPECT_EQ(static_cast<std::uint8_t>(ports[0x345]), PortPattern(0x345));
    EXPECT_EQ(static_cast<std::uint8_t>(ports[0x347]), PortPattern(0x347));
    EXPECT_TRUE(plat::Device().CloseHandle(h));
    EXPECT_FALSE(ReadPortVia(h, 0x300, v)) << "a closed handle must not work";
}

TEST_F(IoServiceHardware, BoardWindowIsTheMemoryDeviceAtThePhysicalAddress) {
    CDluBoard board;
    ASSERT_EQ(board.Open(4, 6), 0);
    EXPECT_EQ(board.PortBase(), 0x340);
    std::uint8_t* w = board.Window();
    ASSERT_NE(w, nullptr);
    for (std::size_t i : {std::size_t{0}, std::size_t{0x2A}, std::size_t{0x3FFF}}) {
        EXPECT_EQ(w[i], MemPattern(i)) << i;
    }
    w[0x10] = 0x5A;  // shared, not a private copy
    EXPECT_EQ(static_cast<std::uint8_t>(ReadFile(memFile)[kWindow + 0x10]), 0x5A);

    EXPECT_EQ(board.ReadPort(0x341), PortPattern(0x341));
    EXPECT_TRUE(board.WritePort(0x342, 0x3C));
    EXPECT_EQ(board.ReadPort(0x342), 0x3C);

    EXPECT_TRUE(Mapped(memFile));
    board.Close();
    EXPECT_FALSE(Mapped(memFile)) << "closing the device must unmap its windows";
}

TEST_F(IoServiceHardware, WindowGoesOnlyToPeersThatCouldOpenTheMemoryDevice) {
    // The descriptor reaches every byte of the device, so the device's owner, group and mode
    // decide, as they would for the peer opening it itself (no override for root).
    struct Case {
        mode_t mode;
        bool otherOwner;  // owned by someone else, in the peer's group
        bool mapped;
    };
    const Case cases[] = {
        {0600, false, true},  {0400, false, false},
        {0066, false, false},  // the owner's bits are the owner's, whatever group and others get
        {0660, true, true},   {0640, true, false},
    };
    for (const Case& k : cases) {
        if (k.otherOwner && ::geteuid() != 0) continue;  // chown needs root
        ASSERT_EQ(::chown(memFile.c_str(), k.otherOwner ? 4321 : ::geteuid(), ::getegid()), 0);
        ASSERT_EQ(::chmod(memFile.c_str(), k.mode), 0);
        CDluBoard board;
        EXPECT_EQ(board.Open(4, 6), k.mapped ? 0 : 13) << std::oct << k.mode;
        EXPECT_EQ(Mapped(memFile), k.mapped) << std::oct << k.mode;
        board.Close();
    }
    EXPECT_NE(service.LogText().find("refused window 0xD8000: uid"), std::string::npos)
        << service.LogText();
}

TEST_F(IoServiceHardware, PortsAndWindowsOutsideTheBoardRangeAreRefused) {
    plat::HANDLE h = OpenDevice();
    ASSERT_NE(h, plat::INVALID_HANDLE_VALUE);
    std::uint8_t v;
    EXPECT_FALSE(ReadPortVia(h, 0x2FF, v));
    EXPECT_FALSE(ReadPortVia(h, 0x400, v));
    EXPECT_FALSE(ReadPortVia(h, 0x10340, v)) << "upper bits must not alias into the range";
    EXPECT_FALSE(WritePortVia(h, 0x400, 0x11));
    EXPECT_FALSE(WritePortVia(h, 0x80, 0x11));
    std::string ports = ReadFile(portFile);
    EXPECT_EQ(static_cast<std::uint8_t>(ports[0x400]), PortPattern(0x400));
    EXPECT_EQ(static_cast<std::uint8_t>(ports[0x80]), PortPattern(0x80));

    void* p = nullptr;
    EXPECT_FALSE(MapVia(h, 0xF0000, 0x4000, &p));
    EXPECT_FALSE(MapVia(h, 0xBC000, 0x4000, &p));
    EXPECT_FALSE(MapVia(h, 0xC2000, 0x4000, &p)) << "not on a 16 KB boundary";
    EXPECT_FALSE(MapVia(h, 0xC0000, 0x8000, &p));
    EXPECT_FALSE(MapVia(h, 0xC0000, 0x2000, &p));
    EXPECT_FALSE(MapVia(h, 0xFFFFC000, 0x4000, &p));
    EXPECT_FALSE(Mapped(memFile));

    // Refusals do not spoil the connection.
    ASSERT_TRUE(ReadPortVia(h, 0x3F0, v));
    EXPECT_EQ(v, PortPattern(0x3F0));
    ASSERT_TRUE(MapVia(h, 0xEC000, 0x4000, &p));
    EXPECT_NE(p, nullptr);
    EXPECT_TRUE(plat::Device().CloseHandle(h));
    EXPECT_NE(service.LogText().find("refused"), std::string::npos);
}

TEST_F(IoServiceHardware, CallsFromManyThreadsOnOneHandleGetTheirOwnAnswers) {
    plat::HANDLE h = OpenDevice();
    ASSERT_NE(h, plat::INVALID_HANDLE_VALUE);
    std::atomic<int> wrong{0}, failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                std::uint32_t port = 0x300 + static_cast<std::uint32_t>((t * 61 + i) % 0x100);
                std::uint8_t v;
                if (!ReadPortVia(h, port, v)) {
                    ++failed;
                } else if (v != PortPattern(port)) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_TRUE(plat::Device().CloseHandle(h));
}

TEST_F(IoServiceHardware, StopsCleanlyOnSignalsAndRemovesItsSocket) {
    EXPECT_TRUE(std::filesystem::exists(socket));
    EXPECT_EQ(ReadFile(readyFile).rfind("ready", 0), 0u);
    EXPECT_EQ(service.Stop(SIGTERM), 0);
    EXPECT_FALSE(std::filesystem::exists(socket));
    EXPECT_FALSE(std::filesystem::exists(readyFile));

    ASSERT_TRUE(StartService()) << service.LogText();
    plat::HANDLE h = OpenDevice();  // a client still connected does not hold the service up
    ASSERT_NE(h, plat::INVALID_HANDLE_VALUE);
    EXPECT_EQ(service.Stop(SIGINT), 0);
    EXPECT_FALSE(std::filesystem::exists(socket));
    std::uint8_t v;
    EXPECT_FALSE(ReadPortVia(h, 0x300, v));
    EXPECT_TRUE(plat::Device().CloseHandle(h));
}

TEST_F(IoServiceHardware, StaleSocketIsReplacedButALiveOneOrAForeignFileIsNot) {
    // Another service on the same socket: the second one gives up, the first keeps serving.
    ServiceProcess second;
    EXPECT_FALSE(second.Start(
        {"--hardware", "--port-device", portFile, "--mem-device", memFile, "--socket", socket},
        dir.File("second.log")));
    EXPECT_EQ(second.ExitStatus(), 1);
    EXPECT_NE(second.LogText().find("already listens"), std::string::npos);
    plat::HANDLE h = OpenDevice();
    ASSERT_NE(h, plat::INVALID_HANDLE_VALUE);
    EXPECT_TRUE(plat::Device().CloseHandle(h));

    // A killed service leaves its socket behind; the next one removes it.
    EXPECT_EQ(service.Stop(SIGKILL), 128 + SIGKILL);
    ASSERT_TRUE(std::filesystem::exists(socket));
    ASSERT_TRUE(StartService()) << service.LogText();
    EXPECT_NE(service.LogText().find("removed stale socket"), std::string::npos);
    h = OpenDevice();
    ASSERT_NE(h, plat::INVALID_HANDLE_VALUE);
    EXPECT_TRUE(plat::Device().CloseHandle(h));

    // Something that is not a socket is left alone.
    std::string notSocket = dir.File("sub/dir/plain");
    ServiceProcess third;
    EXPECT_TRUE(third.Start({"--hardware", "--port-device", portFile, "--mem-device", memFile,
                             "--socket", dir.File("sub/dir/other.sock"), "--socket-mode", "600"},
                            dir.File("third.log")))
        << "the socket folder is created when missing";
    EXPECT_EQ(std::filesystem::status(dir.File("sub/dir/other.sock")).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(third.Stop(SIGTERM), 0);
    ASSERT_TRUE(WriteFile(notSocket, "keep me"));
    EXPECT_FALSE(third.Start(
        {"--hardware", "--port-device", portFile, "--mem-device", memFile, "--socket", notSocket},
        dir.File("third.log")));
    EXPECT_EQ(third.ExitStatus(), 1);
    EXPECT_EQ(ReadFile(notSocket), "keep me");
}

TEST_F(IoServiceHardware, MissingDevicesOrOptionsOrSettingsStopTheStart) {
    ServiceProcess other;
    EXPECT_FALSE(other.Start({"--hardware", "--port-device", dir.File("nothing"), "--mem-device",
                              memFile, "--socket", dir.File("x.sock")},
                             dir.File("other.log")));
    EXPECT_EQ(other.ExitStatus(), 1);
    EXPECT_NE(other.LogText().find(dir.File("nothing")), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir.File("x.sock")));

    EXPECT_FALSE(other.Start({"--socket", dir.File("x.sock")}, dir.File("other.log")));
    EXPECT_EQ(other.ExitStatus(), 2) << "neither backend chosen";
    EXPECT_FALSE(other.Start({"--hardware", "--bogus"}, dir.File("other.log")));
    EXPECT_EQ(other.ExitStatus(), 2);

    // A settings file goes first and the command line wins; a wrong line names itself.
    const std::string conf = dir.File("tvioctrld.conf");
    ASSERT_TRUE(WriteFile(conf, "# board\nhardware = yes\n\nport-device = " + dir.File("nothing") +
                                    "\n mem-device =  " + memFile + " \nverbose = no\n"));
    EXPECT_TRUE(other.Start({"--config", conf, "--port-device", portFile, "--socket",
                             dir.File("c.sock")},
                            dir.File("other.log")))
        << other.LogText();
    EXPECT_EQ(other.Stop(SIGTERM), 0);
    for (const auto& [text, error] : std::vector<std::pair<std::string, std::string>>{
             {"hardware = yes\nsocket-mode = 1777\n", ":2: bad --socket-mode"},
             {"hardware = maybe\n", ":1: hardware is yes or no"},
             {"hardware = yes\nclients = 4\n", ":2: unknown setting \"clients\""},
             {"hardware\n", ":1: expected \"name = value\""},
             {"config = other.conf\n", ":1: unknown setting \"config\""},
             {"socket-mode = 600\nsocket-mode = 660\n", ":2: socket-mode is set twice (first on line 1)"},
             {"hardware = yes\nsimulate = x.json\n", ":2: simulate and hardware ("}}) {
        ASSERT_TRUE(WriteFile(conf, text));
        EXPECT_FALSE(other.Start({"--config", conf, "--socket", dir.File("c.sock")},
                                 dir.File("other.log")));
        EXPECT_EQ(other.ExitStatus(), 2) << text;
        EXPECT_NE(other.LogText().find(conf + error), std::string::npos) << other.LogText();
    }
    EXPECT_FALSE(other.Start({"--config", dir.File("nothing")}, dir.File("other.log")));
    EXPECT_NE(other.LogText().find(dir.File("nothing") + ": No such file"), std::string::npos);
}

// --- protocol abuse -----------------------------------------------------------------------------

tvio::wire::Request GoodRequest(std::uint32_t port) {
    tvio::wire::Request req{};
    req.magic = tvio::wire::kRequestMagic;
    req.version = tvio::wire::kVersion;
    req.size = sizeof req;
    req.seq = 7;
    req.code = tvio::IOCTL_READ_PORT_BYTE;
    req.inSize = 4;
    std::memcpy(req.in, &port, 4);
    return req;
}

// Sends bytes and returns the answer, if any came before the service hung up.
bool Exchange(int fd, const void* data, std::size_t size, tvio::wire::Reply& reply) {
    if (::send(fd, data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) return false;
    std::size_t have = 0;
    while (have < sizeof reply) {
        ssize_t n = ::recv(fd, reinterpret_cast<char*>(&reply) + have, sizeof reply - have, 0);
        if (n <= 0) return false;
        have += static_cast<std::size_t>(n);
    }
    return true;
}

bool HungUp(int fd) {
    char c;
    return ::recv(fd, &c, 1, 0) == 0;
}

TEST_F(IoServiceHardware, MalformedAndVanishingClientsAreDroppedAndOthersServed) {
    plat::HANDLE good = OpenDevice();
    ASSERT_NE(good, plat::INVALID_HANDLE_VALUE);
    tvio::wire::Reply reply{};

    int fd = ConnectRaw(socket);  // garbage
    ASSERT_GE(fd, 0);
    std::string junk(sizeof(tvio::wire::Request), 'x');
    ASSERT_TRUE(Exchange(fd, junk.data(), junk.size(), reply));
    EXPECT_EQ(reply.status, tvio::wire::kBadMessage);
    EXPECT_TRUE(HungUp(fd));
    ::close(fd);

    fd = ConnectRaw(socket);  // another version of the protocol
    auto req = GoodRequest(0x345);
    req.version = 99;
    ASSERT_TRUE(Exchange(fd, &req, sizeof req, reply));
    EXPECT_EQ(reply.status, tvio::wire::kBadVersion);
    EXPECT_EQ(reply.version, tvio::wire::kVersion);
    EXPECT_TRUE(HungUp(fd));
    ::close(fd);

    fd = ConnectRaw(socket);  // wrong lengths and codes answer, and the connection stays
    req = GoodRequest(0x345);
    req.inSize = 3;
    ASSERT_TRUE(Exchange(fd, &req, sizeof req, reply));
    EXPECT_EQ(reply.status, tvio::wire::kBadInput);
    req.inSize = 4;
    req.code = 0xC3502008;
    ASSERT_TRUE(Exchange(fd, &req, sizeof req, reply));
    EXPECT_EQ(reply.status, tvio::wire::kUnknownCode);
    req = GoodRequest(0x345);
    req.seq = 1234;
    ASSERT_TRUE(Exchange(fd, &req, sizeof req, reply));
    EXPECT_EQ(reply.status, tvio::wire::kOk);
    EXPECT_EQ(reply.seq, 1234u);
    EXPECT_EQ(reply.out[0], PortPattern(0x345));
    ::close(fd);

    fd = ConnectRaw(socket);  // half a request, then gone
    ASSERT_EQ(::send(fd, &req, 10, MSG_NOSIGNAL), 10);
    ::close(fd);
    fd = ConnectRaw(socket);  // a whole request, gone before the answer
    ASSERT_EQ(::send(fd, &req, sizeof req, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof req));
    ::close(fd);
    fd = ConnectRaw(socket);  // a flood of requests nobody reads
    std::vector<tvio::wire::Request> flood(20000, GoodRequest(0x300));
    ::shutdown(fd, SHUT_RD);
    [[maybe_unused]] ssize_t sent =
        ::send(fd, flood.data(), flood.size() * sizeof req, MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(fd);

    std::uint8_t v;
    ASSERT_TRUE(ReadPortVia(good, 0x3A0, v));
    EXPECT_EQ(v, PortPattern(0x3A0));
    EXPECT_TRUE(plat::Device().CloseHandle(good));
    EXPECT_NE(service.LogText().find("malformed"), std::string::npos);
}

// Asks for a queue on a raw connection and maps it; null if none came.
tvio::wire::Queue* OpenQueueRaw(int fd) {
    tvio::wire::Request req = GoodRequest(0);
    req.code = tvio::wire::kOpenQueue;
    req.inSize = 0;
    if (::send(fd, &req, sizeof req, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof req))
        return nullptr;
    tvio::wire::Reply reply{};
    iovec iov{&reply, sizeof reply};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    if (::recvmsg(fd, &msg, MSG_WAITALL) != static_cast<ssize_t>(sizeof reply)) return nullptr;
    cmsghdr* cm = CMSG_FIRSTHDR(&msg);
    if (reply.status != tvio::wire::kOk || !cm || cm->cmsg_type != SCM_RIGHTS) return nullptr;
    int q;
    std::memcpy(&q, CMSG_DATA(cm), sizeof q);
    void* p = ::mmap(nullptr, sizeof(tvio::wire::Queue), PROT_READ | PROT_WRITE, MAP_SHARED, q, 0);
    ::close(q);
    return p == MAP_FAILED ? nullptr : static_cast<tvio::wire::Queue*>(p);
}

// What a queue carries is checked as what the socket carries; no descriptor travels through it,
// a second one is refused, and a count claiming more than a queue's worth drops the client.
TEST_F(IoServiceHardware, AQueueIsHeldToWhatTheSocketAllowsAndToItsSize) {
    plat::HANDLE good = OpenDevice();
    ASSERT_NE(good, plat::INVALID_HANDLE_VALUE);
    int fd = ConnectRaw(socket);
    tvio::wire::Queue* q = OpenQueueRaw(fd);
    ASSERT_NE(q, nullptr);
    tvio::wire::Reply reply{};
    tvio::wire::Request call = GoodRequest(0);
    call.code = tvio::wire::kOpenQueue;
    call.inSize = 0;
    ASSERT_TRUE(Exchange(fd, &call, sizeof call, reply));
    EXPECT_EQ(reply.status, tvio::wire::kBadInput);

    std::uint32_t posted = 0;
    tvio::wire::Request kick = call;
    kick.code = tvio::wire::kKick;
    auto post = [&](const tvio::wire::Request& r, std::uint32_t claim) {
        q->requests[posted % tvio::wire::kQueueSlots] = r;
        q->posted.store(claim ? claim : ++posted);
        return ::send(fd, &kick, sizeof kick, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof kick);
    };
    tvio::wire::Request map = GoodRequest(0);
    map.code = tvio::IOCTL_MAP_PHYSICAL_MEMORY;
    map.inSize = 8;
    const std::uint32_t window[2] = {kWindow, tvio::kWindowSize};
    std::memcpy(map.in, window, sizeof window);
    ASSERT_TRUE(post(GoodRequest(0x345), 0));
    ASSERT_TRUE(post(map, 0));
    for (int i = 0; i < 500 && q->answered.load() < 2; ++i) ::usleep(10000);
    ASSERT_EQ(q->answered.load(), 2u);
    EXPECT_EQ(q->answers[0].status, tvio::wire::kOk);
    EXPECT_EQ(q->answers[0].out[0], PortPattern(0x345));
    EXPECT_EQ(q->answers[1].status, tvio::wire::kBadInput);

    ASSERT_TRUE(post(GoodRequest(0x345), posted + 1000));
    EXPECT_TRUE(HungUp(fd));
    ::close(fd);
    ::munmap(q, sizeof *q);
    std::uint8_t v;
    ASSERT_TRUE(ReadPortVia(good, 0x3A0, v));
    EXPECT_EQ(v, PortPattern(0x3A0));
    EXPECT_TRUE(plat::Device().CloseHandle(good));
    EXPECT_NE(service.LogText().find("queue count out of range"), std::string::npos);
}

// Clients that close with writes in flight, flood the log, or hoard connections: each row
// must leave the service serving everyone else.
TEST_F(IoServiceHardware, GreedyOrVanishingClientsCannotTakeTheServiceFromOthers) {
    struct Row {
        const char* what;
        std::function<void()> act;
    };
    const Row rows[] = {
        {"clients close right after writes sent without waiting: every write is made",
         [&] {
             std::vector<std::uint16_t> ports;  // not a control port, whose access is followed
             for (std::uint16_t p = 0x301; ports.size() < 100; ++p)
                 if (p % 0x10) ports.push_back(p);
             for (std::size_t i = 0; i < ports.size(); ++i) {
                 const int fd = ConnectRaw(socket);
                 tvio::wire::Queue* q = OpenQueueRaw(fd);
                 ASSERT_NE(q, nullptr);
                 // Until the service sleeps in poll: then the hang-up is all it sees.
                 ::usleep(3000);
                 tvio::wire::Request write = GoodRequest(ports[i]);
                 write.code = tvio::IOCTL_WRITE_PORT_BYTE;
                 write.flags = tvio::wire::kNoAnswer;
                 write.inSize = 8;
                 const std::uint32_t value = static_cast<std::uint32_t>(i + 1);
                 std::memcpy(write.in + 4, &value, 4);
                 q->requests[0] = write;
                 q->posted.store(1);
                 ::close(fd);
                 ::munmap(q, sizeof *q);
             }
             std::string file;
             for (int wait = 0; wait < 200; ++wait) {  // the service may see the hang-ups late
                 file = ReadFile(portFile);
                 if (static_cast<std::uint8_t>(file[ports.back()]) == ports.size()) break;
                 ::usleep(10000);
             }
             for (std::size_t i = 0; i < ports.size(); ++i)
                 EXPECT_EQ(static_cast<std::uint8_t>(file[ports[i]]), i + 1) << ports[i];
         }},
        {"one client floods unknown codes and refused ports: its lines stay within a budget",
         [&] {
             const std::size_t before = service.LogText().size();
             plat::HANDLE h = OpenDevice();
             ASSERT_NE(h, plat::INVALID_HANDLE_VALUE);
             std::uint8_t v;
             for (int i = 0; i < 2000; ++i) {
                 const std::uint32_t port = 0x345;
                 std::uint32_t out = 0, returned = 0;
                 EXPECT_FALSE(
                     plat::Device().DeviceIoControl(h, 0xC3502008, &port, 4, &out, 4, &returned));
                 EXPECT_FALSE(ReadPortVia(h, 0x400, v));
             }
             ASSERT_TRUE(ReadPortVia(h, 0x345, v));
             plat::Device().CloseHandle(h);
             auto lines = [&] {
                 const std::string log = service.LogText().substr(before);
                 int n = 0;
                 for (std::size_t at = 0; (at = log.find('\n', at)) != std::string::npos; ++at) ++n;
                 return n;
             };
             EXPECT_LE(lines(), 14) << service.LogText();  // connect, 10, the note, disconnect
             // The same from a new connection per burst: the user's budget holds across them.
             tvio::wire::Request unknown = GoodRequest(0x345);
             unknown.code = 0xC3502008;
             std::vector<tvio::wire::Request> burst(12, unknown);
             for (int i = 0; i < 300; ++i) {
                 const int fd = ConnectRaw(socket);
                 ASSERT_GE(fd, 0);
                 ASSERT_EQ(::send(fd, burst.data(), burst.size() * sizeof unknown, MSG_NOSIGNAL),
                           static_cast<ssize_t>(burst.size() * sizeof unknown));
                 ::close(fd);
             }
             ASSERT_TRUE(ReadPortVia(h = OpenDevice(), 0x345, v));
             plat::Device().CloseHandle(h);
             // 14 above, 20 refusal lines and 20 about connections per 10 s, and the notes
             EXPECT_LE(lines(), 60) << service.LogText().substr(before);
         }},
        {"one user connects, writes without waiting and leaves, again and again: none of it is "
         "refused or lost",
         [&] {
             std::vector<std::uint16_t> ports;
             for (std::uint16_t p = 0x381; ports.size() < 40; ++p)
                 if (p % 0x10) ports.push_back(p);
             for (std::size_t i = 0; i < ports.size(); ++i) {
                 const int fd = ConnectRaw(socket);
                 ASSERT_GE(fd, 0);
                 tvio::wire::Request write = GoodRequest(ports[i]);
                 write.code = tvio::IOCTL_WRITE_PORT_BYTE;
                 write.flags = tvio::wire::kNoAnswer;
                 write.inSize = 8;
                 const std::uint32_t value = static_cast<std::uint32_t>(0x80 + i);
                 std::memcpy(write.in + 4, &value, 4);
                 ASSERT_EQ(::send(fd, &write, sizeof write, MSG_NOSIGNAL),
                           static_cast<ssize_t>(sizeof write));
                 ::close(fd);
             }
             std::string file;
             for (int wait = 0; wait < 200; ++wait) {
                 file = ReadFile(portFile);
                 if (static_cast<std::uint8_t>(file[ports.back()]) == 0x80 + ports.size() - 1)
                     break;
                 ::usleep(10000);
             }
             for (std::size_t i = 0; i < ports.size(); ++i)
                 EXPECT_EQ(static_cast<std::uint8_t>(file[ports[i]]), 0x80 + i)
                     << ports[i] << service.LogText();
         }},
        {"one user opens more than it may: the one too many is told so, others still open",
         [&] {
             std::vector<plat::HANDLE> held;
             for (int i = 0; i < 16; ++i) {
                 held.push_back(OpenDevice());
                 ASSERT_NE(held.back(), plat::INVALID_HANDLE_VALUE) << i;
             }
             // Told so every time, however the refusal and the request cross.
             for (int i = 0; i < 10; ++i) {
                 EXPECT_EQ(OpenDevice(), plat::INVALID_HANDLE_VALUE);
                 EXPECT_EQ(plat::GetLastError(), plat::ERROR_REQ_NOT_ACCEP)
                     << plat::DeviceErrorText(plat::GetLastError());
             }
             plat::Device().CloseHandle(held.back());
             held.pop_back();
             plat::HANDLE again = plat::INVALID_HANDLE_VALUE;
             for (int wait = 0; wait < 100 && again == plat::INVALID_HANDLE_VALUE; ++wait) {
                 ::usleep(10000);  // until the service has seen the close
                 again = OpenDevice();
             }
             EXPECT_NE(again, plat::INVALID_HANDLE_VALUE);
             held.push_back(again);
             for (plat::HANDLE h : held) plat::Device().CloseHandle(h);
             EXPECT_NE(service.LogText().find("refused a connection of uid"), std::string::npos);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        row.act();
    }
}

// Under systemd (Type=notify) the service says when it is ready and pings the watchdog from its
// serving loop at half the watchdog's time, idle or not.
TEST_F(IoServiceHardware, TellsTheServiceManagerItIsReadyAndPingsTheWatchdog) {
    const std::string notify = dir.File("notify");
    const int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, notify.c_str());
    ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    const timeval wait{5, 0};
    ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    ::setenv("NOTIFY_SOCKET", notify.c_str(), 1);
    ::setenv("WATCHDOG_USEC", "200000", 1);
    ServiceProcess managed;
    const bool started = managed.Start({"--hardware", "--port-device", portFile, "--mem-device",
                                        memFile, "--socket", dir.File("managed.sock")},
                                       dir.File("managed.log"));
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ASSERT_TRUE(started) << managed.LogText();
    std::string said;
    for (int i = 0; i < 4; ++i) {  // ready, then pings every 100 ms
        char buf[256];
        const ssize_t n = ::recv(sock, buf, sizeof buf, 0);
        if (n <= 0) break;
        said += std::string(buf, static_cast<std::size_t>(n)) + "\n";
    }
    EXPECT_EQ(said.rfind("READY=1", 0), 0u) << said;
    EXPECT_NE(said.find("WATCHDOG=1\nWATCHDOG=1"), std::string::npos) << said;
    EXPECT_EQ(managed.Stop(SIGTERM), 0);
    ::close(sock);
}

TEST_F(IoServiceHardware, ADeadServiceFailsCallsInsteadOfHanging) {
    plat::HANDLE h = OpenDevice();
    ASSERT_NE(h, plat::INVALID_HANDLE_VALUE);
    void* p = nullptr;
    ASSERT_TRUE(MapVia(h, kWindow, 0x4000, &p));
    EXPECT_EQ(static_cast<std::uint8_t*>(p)[1], MemPattern(1));
    service.Stop(SIGKILL);
    std::uint8_t v;
    EXPECT_FALSE(ReadPortVia(h, 0x300, v));
    EXPECT_FALSE(WritePortVia(h, 0x300, 1));
    // The window stays usable until the handle is closed.
    EXPECT_EQ(static_cast<std::uint8_t*>(p)[2], MemPattern(2));
    EXPECT_TRUE(plat::Device().CloseHandle(h));
    EXPECT_FALSE(plat::Device().CloseHandle(h));
}

TEST(IoServiceAbsent, OpeningTheDeviceFailsAndTheBoardReportsTwelve) {
    TempDir dir;
    ::setenv("QX_DEVICE_DIR", dir.Path().c_str(), 1);
    plat::SetDevice(nullptr);
    EXPECT_EQ(plat::Device().CreateFileA(tvio::kDevicePathNt, 0, 0, plat::OPEN_EXISTING, 0),
              plat::INVALID_HANDLE_VALUE);
    EXPECT_EQ(plat::Device().CreateFileA(tvio::kDevicePath9x, 0, 0, plat::CREATE_NEW, 0),
              plat::INVALID_HANDLE_VALUE);
    EXPECT_EQ(plat::DeviceSocketPath(tvio::kDevicePath9x), dir.File("TVIOCTRL.VXD.sock"));
    CDluBoard board;
    EXPECT_EQ(board.Open(0, 0), 12);
    board.Close();
    ::unsetenv("QX_DEVICE_DIR");
}

}  // namespace
