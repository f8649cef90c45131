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
