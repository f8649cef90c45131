// Platform helpers that the module relies on for names and paths.
#include "platform/platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "platform/fakes.h"
#include "platform/linux_device.h"
#include "platform/tvioctrl.h"
#include "platform/tvioctrl_wire.h"

TEST(Platform, LibraryNamesMapToSharedObjects) {
    EXPECT_EQ(plat::SharedObjectName("TarvoDbm.dll"), "libTarvoDbm.so");
    EXPECT_EQ(plat::SharedObjectName("DezudurE.DLL"), "libDezudurE.so");
    EXPECT_EQ(plat::SharedObjectName("Project"), "libProject.so");
    EXPECT_EQ(plat::SharedObjectName("libX.so"), "libX.so");
    EXPECT_EQ(plat::SharedObjectName("/opt/t/Foo.dll"), "/opt/t/libFoo.so");
}

TEST(Platform, PathTitle) {
    EXPECT_EQ(plat::PathTitle("/plant/cfg/plant.cfg"), "plant");
    EXPECT_EQ(plat::PathTitle("C:\\data\\line.2.cfg"), "line.2");
    EXPECT_EQ(plat::PathTitle("noext"), "noext");
    EXPECT_EQ(plat::PathTitle("/a.b/noext"), "noext");
    EXPECT_EQ(plat::PathTitle(std::string(300, 'x') + ".cfg").size(), 255u);
}

TEST(Platform, DeviceNamesMapToSockets) {
    setenv("QX_DEVICE_DIR", "/tmp/qx-dev", 1);
    EXPECT_EQ(plat::DeviceSocketPath("\\\\.\\TVIOCTRL"), "/tmp/qx-dev/TVIOCTRL.sock");
    EXPECT_EQ(plat::DeviceSocketPath("\\\\.\\TVIOCTRL.VXD"), "/tmp/qx-dev/TVIOCTRL.VXD.sock");
    EXPECT_EQ(plat::DeviceSocketPath("\\\\.\\..\\etc"), "");
    EXPECT_EQ(plat::DeviceSocketPath("TVIOCTRL"), "");
    unsetenv("QX_DEVICE_DIR");
    EXPECT_EQ(plat::DeviceSocketPath("\\\\.\\TVIOCTRL"), "/run/quorix/TVIOCTRL.sock");
}

TEST(Platform, FakeClockWrapsAndAdvancesOnSleep) {
    plat::FakeClock clock(0xFFFFFFF0u);
    plat::ScopedClock use(&clock);
    plat::Sleep(0x20);
    EXPECT_EQ(plat::GetTickCount(), 0x10u);
    clock.SetAutoAdvance(5);
    std::uint32_t a = plat::GetTickCount();
    EXPECT_EQ(plat::GetTickCount() - a, 5u);
}

TEST(Platform, AWindowDescriptorShorterThanTheWindowIsNotMapped) {
    // Mapped anyway, the first touch beyond the file's end would kill the process with SIGBUS.
    struct Case {
        off_t size;
        std::uint64_t offset;
        bool sealed;  // against shrinking: one that is not could shrink under the module
        bool mapped;
    };
    const Case cases[] = {{0x4000, 0, true, true},
                          {0x3FFF, 0, true, false},
                          {0x4000, 0x1000, true, false},
                          {0, 0, true, false},
                          {0x4000, 0, false, false}};

    char dir[] = "/tmp/qx-plat-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string socketPath = std::string(dir) + "/TVIOCTRL.sock";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, socketPath.c_str());
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 1), 0);

    // A service without a queue that answers each map request with a memfd of the case's size.
    std::thread service([&] {
        int c = ::accept(listener, nullptr, nullptr);
        tvio::wire::Request req{};
        tvio::wire::Reply reply{};
        reply.magic = tvio::wire::kReplyMagic;
        reply.version = tvio::wire::kVersion;
        reply.size = sizeof reply;
        if (::recv(c, &req, sizeof req, MSG_WAITALL) == static_cast<ssize_t>(sizeof req)) {
            reply.seq = req.seq;
            reply.status = tvio::wire::kUnknownCode;
            [[maybe_unused]] ssize_t n = ::send(c, &reply, sizeof reply, MSG_NOSIGNAL);
        }
        for (const Case& k : cases) {
            if (::recv(c, &req, sizeof req, MSG_WAITALL) != static_cast<ssize_t>(sizeof req)) break;
            reply.seq = req.seq;
            reply.status = tvio::wire::kOk;
            const tvio::wire::MapAnswer answer{k.offset, 0x4000, 0};
            std::memcpy(reply.out, &answer, sizeof answer);
            reply.outSize = sizeof answer;
            int fd = ::memfd_create("window", MFD_CLOEXEC | MFD_ALLOW_SEALING);
            [[maybe_unused]] int r = ::ftruncate(fd, k.size);
            if (k.sealed) r = ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK);
            iovec iov{&reply, sizeof reply};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
            msghdr msg{};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            cmsghdr* cm = CMSG_FIRSTHDR(&msg);
            cm->cmsg_level = SOL_SOCKET;
            cm->cmsg_type = SCM_RIGHTS;
            cm->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(cm), &fd, sizeof fd);
            [[maybe_unused]] ssize_t n = ::sendmsg(c, &msg, MSG_NOSIGNAL);
            ::close(fd);
        }
        ::close(c);
    });

    ::setenv("QX_DEVICE_DIR", dir, 1);
    plat::LinuxDevice dev;
    plat::HANDLE h = dev.CreateFileA(tvio::kDevicePathNt, 0, 0, plat::OPEN_EXISTING, 0);
    EXPECT_NE(h, plat::INVALID_HANDLE_VALUE);
    if (h == plat::INVALID_HANDLE_VALUE) ::shutdown(listener, SHUT_RDWR);  // ends the service
    for (const Case& k : cases) {
        if (h == plat::INVALID_HANDLE_VALUE) break;
        const tvio::MapRequest req{0xD8000, 0x4000};
        void* p = nullptr;
        std::uint32_t returned = 0;
        const bool ok = dev.DeviceIoControl(h, tvio::IOCTL_MAP_PHYSICAL_MEMORY, &req, sizeof req,
                                            &p, tvio::kMapOutputSize, &returned);
        EXPECT_EQ(ok, k.mapped) << "size " << k.size << ", offset " << k.offset;
        if (ok && k.mapped) static_cast<volatile std::uint8_t*>(p)[0x3FFF] = 1;
    }
    dev.CloseHandle(h);
    service.join();
    ::close(listener);
    ::unlink(socketPath.c_str());
    ::rmdir(dir);
    ::unsetenv("QX_DEVICE_DIR");
}
