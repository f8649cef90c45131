// The device client against a service that is dead, stuck, slow or hostile: every open and every
// call ends by its deadline whatever interrupts its waits, a failed open says why, and nothing
// the service hands over can hurt the process later.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux_device.h"
#include "platform/tvioctrl.h"
#include "platform/tvioctrl_wire.h"

namespace {

using tvio::wire::Reply;
using tvio::wire::Request;

constexpr int kTimeoutMs = 300;

bool Receive(int c, Request& req) {
    return ::recv(c, &req, sizeof req, MSG_WAITALL) == static_cast<ssize_t>(sizeof req);
}

Reply ReplyTo(std::uint32_t seq, std::uint32_t status) {
    Reply reply{};
    reply.magic = tvio::wire::kReplyMagic;
    reply.version = tvio::wire::kVersion;
    reply.size = sizeof reply;
    reply.seq = seq;
    reply.status = status;
    return reply;
}

void Send(int c, const Reply& reply, int fd = -1) {
    [[maybe_unused]] long n = plat::SendWithDescriptor(c, &reply, sizeof reply, fd, MSG_NOSIGNAL);
}

// A memfd of `size` bytes, sealed against shrinking or not.
int Memfd(std::size_t size, bool sealed) {
    int fd = ::memfd_create("hostile", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    [[maybe_unused]] int r = ::ftruncate(fd, static_cast<off_t>(size));
    if (sealed) r = ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK);
    return fd;
}

// Answers the queue request with `fd` as the queue (a sealed or unsealed memfd, a device...),
// or, with -1, says it has none, so that the calls stay on the socket.
void GiveQueue(int c, int fd) {
    Request req{};
    if (!Receive(c, req)) return;
    Reply reply = ReplyTo(req.seq, fd < 0 ? tvio::wire::kUnknownCode : tvio::wire::kOk);
    if (fd >= 0) {
        const std::uint32_t size = sizeof(tvio::wire::Queue);
        std::memcpy(reply.out, &size, sizeof size);
        reply.outSize = sizeof size;
    }
    Send(c, reply, fd);
}

// Answers socket calls: a read with 0x5A, a mapping with `window` (at `offset`).
void AnswerCalls(int c, int window = -1, std::uint64_t offset = 0) {
    Request req{};
    while (Receive(c, req)) {
        Reply reply = ReplyTo(req.seq, tvio::wire::kOk);
        if (req.code == tvio::IOCTL_MAP_PHYSICAL_MEMORY) {
            const tvio::wire::MapAnswer answer{offset, tvio::kWindowSize, 0};
            std::memcpy(reply.out, &answer, sizeof answer);
            reply.outSize = sizeof answer;
            Send(c, reply, window);
            continue;
        }
        reply.out[0] = 0x5A;
        reply.outSize = 4;
        Send(c, reply);
    }
}

void UntilClosed(int c) {
    char b[64];
    while (::recv(c, b, sizeof b, 0) > 0) {
    }
}

void OnAlarm(int) {}

enum class Expect { OpenFails, CallFails, CallWorks, MapWorks, MapFails };

struct Row {
    const char* what;
    std::function<void(int connection)> service;  // plays the service on the connection
    Expect expect;
    std::uint32_t error = 0;   // GetLastError after a failed open
    bool interrupted = false;  // the caller's thread gets a signal every 5 ms
};

TEST(DeviceClientAgainstAHostileService, EveryCallEndsAndNothingHandedOverCanHurt) {
    const Row rows[] = {
        {"says nothing, the caller interrupted every 5 ms",
         [](int c) {
             GiveQueue(c, Memfd(sizeof(tvio::wire::Queue), true));
             UntilClosed(c);
         },
         Expect::CallFails, 0, true},
        {"dies while the caller waits, the caller interrupted",
         [](int c) {
             GiveQueue(c, Memfd(sizeof(tvio::wire::Queue), true));
             std::this_thread::sleep_for(std::chrono::milliseconds(50));
         },
         Expect::CallFails, 0, true},
        {"drips its answer a byte at a time",
         [](int c) {
             GiveQueue(c, -1);
             Request req{};
             if (!Receive(c, req)) return;
             const Reply reply = ReplyTo(req.seq, tvio::wire::kOk);
             for (std::size_t i = 0; i < sizeof reply; ++i) {
                 if (::send(c, reinterpret_cast<const char*>(&reply) + i, 1, MSG_NOSIGNAL) != 1)
                     return;
                 std::this_thread::sleep_for(std::chrono::milliseconds(kTimeoutMs / 10));
             }
         },
         Expect::CallFails},
        {"never answers the opening", UntilClosed, Expect::OpenFails, plat::ERROR_SEM_TIMEOUT},
        {"refuses one connection too many",
         [](int c) { Send(c, ReplyTo(0, tvio::wire::kRefused)); }, Expect::OpenFails,
         plat::ERROR_REQ_NOT_ACCEP},
        {"gives a queue that could shrink, then shrinks it",
         [](int c) {
             const int q = Memfd(sizeof(tvio::wire::Queue), false);
             GiveQueue(c, q);
             // Shrunk once the client has had time to map it: a client that did is killed
             // (SIGBUS) at its next request, or waits in vain for the answer there.
             std::this_thread::sleep_for(std::chrono::milliseconds(kTimeoutMs / 3));
             [[maybe_unused]] int r = ::ftruncate(q, 0);
             AnswerCalls(c);
         },
         Expect::CallWorks},
        {"gives a character device as the queue",
         [](int c) {
             GiveQueue(c, ::open("/dev/zero", O_RDWR | O_CLOEXEC));
             AnswerCalls(c);
         },
         Expect::CallWorks},
        {"gives a sealed window of the right size",
         [](int c) {
             GiveQueue(c, -1);
             AnswerCalls(c, Memfd(tvio::kWindowSize, true));
         },
         Expect::MapWorks},
        {"gives a window one byte short",
         [](int c) {
             GiveQueue(c, -1);
             AnswerCalls(c, Memfd(tvio::kWindowSize - 1, true));
         },
         Expect::MapFails},
        {"gives a window whose offset runs past its end",
         [](int c) {
             GiveQueue(c, -1);
             AnswerCalls(c, Memfd(tvio::kWindowSize, true), 0x1000);
         },
         Expect::MapFails},
        {"gives a window that could shrink",
         [](int c) {
             GiveQueue(c, -1);
             AnswerCalls(c, Memfd(tvio::kWindowSize, false));
         },
         Expect::MapFails},
        {"gives a character device other than /dev/mem as the window",
         [](int c) {
             GiveQueue(c, -1);
             AnswerCalls(c, ::open("/dev/zero", O_RDWR | O_CLOEXEC));
         },
         Expect::MapFails},
    };

    char dir[] = "/tmp/qx-hostile-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    ::setenv("QX_DEVICE_DIR", dir, 1);
    const std::string socketPath = std::string(dir) + "/TVIOCTRL.sock";
    struct sigaction sa {};
    sa.sa_handler = OnAlarm;  // no SA_RESTART: every wait of the caller is interrupted
    ::sigaction(SIGALRM, &sa, nullptr);

    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, socketPath.c_str());
        const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(::listen(listener, 4), 0);
        std::thread service([&] {
            sigset_t alarm;
            sigemptyset(&alarm);
            sigaddset(&alarm, SIGALRM);
            ::pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
            const int c = ::accept(listener, nullptr, nullptr);
            if (c < 0) return;
            row.service(c);
            ::close(c);
        });

        if (row.interrupted) {
            const itimerval every5ms{{0, 5000}, {0, 5000}};
            ::setitimer(ITIMER_REAL, &every5ms, nullptr);
        }
        plat::LinuxDevice dev;
        dev.SetCallTimeout(kTimeoutMs);
        const plat::HANDLE h = dev.CreateFileA(tvio::kDevicePathNt, 0, 0, plat::OPEN_EXISTING, 0);
        if (row.expect == Expect::OpenFails) {
            EXPECT_EQ(h, plat::INVALID_HANDLE_VALUE);
            EXPECT_EQ(plat::GetLastError(), row.error)
                << plat::DeviceErrorText(plat::GetLastError());
        } else if (h == plat::INVALID_HANDLE_VALUE) {
            ADD_FAILURE() << "open failed: " << plat::DeviceErrorText(plat::GetLastError());
        } else if (row.expect == Expect::MapWorks || row.expect == Expect::MapFails) {
            const tvio::MapRequest req{0xD8000, tvio::kWindowSize};
            void* p = nullptr;
            std::uint32_t returned = 0;
            const bool ok = dev.DeviceIoControl(h, tvio::IOCTL_MAP_PHYSICAL_MEMORY, &req,
                                                sizeof req, &p, tvio::kMapOutputSize, &returned);
            EXPECT_EQ(ok, row.expect == Expect::MapWorks);
            if (ok) static_cast<volatile std::uint8_t*>(p)[tvio::kWindowSize - 1] = 1;
        } else {
            const std::uint32_t port = 0x340;
            std::uint32_t value = 0;
            std::uint32_t returned = 0;
            const bool ok =
                dev.DeviceIoControl(h, tvio::IOCTL_READ_PORT_BYTE, &port, 4, &value, 4, &returned);
            EXPECT_EQ(ok, row.expect == Expect::CallWorks);
            if (ok) {
                EXPECT_EQ(value, 0x5Au);
            } else {
                // The handle stays failed: nothing after a lost answer can be trusted.
                EXPECT_FALSE(dev.DeviceIoControl(h, tvio::IOCTL_READ_PORT_BYTE, &port, 4, &value, 4,
                                                 &returned));
            }
        }
        const itimerval off{};
        ::setitimer(ITIMER_REAL, &off, nullptr);
        if (h != plat::INVALID_HANDLE_VALUE) dev.CloseHandle(h);
        ::shutdown(listener, SHUT_RDWR);
        service.join();
        ::close(listener);
        ::unlink(socketPath.c_str());
    }

    // Nobody listens: not there.
    plat::LinuxDevice dev;
    dev.SetCallTimeout(kTimeoutMs);
    EXPECT_EQ(dev.CreateFileA(tvio::kDevicePathNt, 0, 0, plat::OPEN_EXISTING, 0),
              plat::INVALID_HANDLE_VALUE);
    EXPECT_EQ(plat::GetLastError(), plat::ERROR_FILE_NOT_FOUND);

    // A listener whose backlog is full and who never accepts: not answering, by the deadline.
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, socketPath.c_str());
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    std::vector<int> filling;
    for (int i = 0; i < 64; ++i) {
        const int f = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        filling.push_back(f);
        if (::connect(f, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) break;
    }
    EXPECT_EQ(dev.CreateFileA(tvio::kDevicePathNt, 0, 0, plat::OPEN_EXISTING, 0),
              plat::INVALID_HANDLE_VALUE);
    EXPECT_EQ(plat::GetLastError(), plat::ERROR_SEM_TIMEOUT);
    for (int f : filling) ::close(f);
    ::close(listener);
    ::unlink(socketPath.c_str());
    ::rmdir(dir);
    ::unsetenv("QX_DEVICE_DIR");
}

}  // namespace
