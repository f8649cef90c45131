// Opening, mapping and closing the I/O driver, and the port byte calls.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "board/dluboard.h"
#include "platform/fakes.h"
#include "platform/tvioctrl.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Puts garbage in the upper bytes of a port read, or fails it.
class PortDevice : public plat::FakeDevice {
public:
    bool readFails = false;
    bool DeviceIoControl(plat::HANDLE h, std::uint32_t code, const void* in, std::uint32_t inSize,
                         void* out, std::uint32_t outSize, std::uint32_t* returned) override {
        bool ok = FakeDevice::DeviceIoControl(h, code, in, inSize, out, outSize, returned);
        if (code == tvio::IOCTL_READ_PORT_BYTE) {
            if (out && outSize >= 4) std::memset(static_cast<std::uint8_t*>(out) + 1, 0xEE, 3);
            if (readFails) return false;
        }
        return ok;
    }
};

class BoardAccess : public ::testing::Test {
protected:
    std::vector<plat::FakeDevice::Call> Calls(const std::string& what) {
        std::vector<plat::FakeDevice::Call> r;
        for (auto& c : dev.calls)
            if (c.what == what) r.push_back(c);
        return r;
    }

    PortDevice dev;
    plat::ScopedDevice scoped{&dev};
    CDluBoard board;
};

TEST_F(BoardAccess, NtOpensSharedDeviceAndMapsFirstWindow) {
    ASSERT_EQ(board.Open(0, 0), 0);
    auto opens = Calls("open");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].path, "\\\\.\\TVIOCTRL");
    EXPECT_EQ(opens[0].a, 0xC0000000u);
    EXPECT_EQ(opens[0].b, 3u);
    EXPECT_EQ(opens[0].c, 3u);  // OPEN_EXISTING
    EXPECT_EQ(opens[0].d, 0u);

    auto ioctls = Calls("ioctl");
    ASSERT_EQ(ioctls.size(), 1u);
    EXPECT_EQ(ioctls[0].code, 0xC3502004u);
    EXPECT_EQ(ioctls[0].in, (Bytes{0x00, 0x00, 0x0C, 0x00, 0x00, 0x40, 0x00, 0x00}));
    EXPECT_EQ(ioctls[0].b, tvio::kMapOutputSize);
    EXPECT_EQ(board.PortBase(), 0x300);
    EXPECT_EQ(board.Window(), dev.window.data());
    EXPECT_TRUE(board.IsOpen());
}

TEST_F(BoardAccess, NinetyFiveFamilyLoadsDriverFileDeletedOnClose) {
    dev.platformId = plat::VER_PLATFORM_WIN32_WINDOWS;
    ASSERT_EQ(board.Open(15, 11), 0);
    auto opens = Calls("open");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].path, "\\\\.\\TVIOCTRL.VXD");
    EXPECT_EQ(opens[0].a, 0u);
    EXPECT_EQ(opens[0].b, 0u);
    EXPECT_EQ(opens[0].c, 1u);  // CREATE_NEW
    EXPECT_EQ(opens[0].d, 0x04000000u);
    EXPECT_EQ(board.PortBase(), 0x3F0);
    EXPECT_EQ(dev.lastMapAddress, 0xEC000u);
    EXPECT_EQ(dev.lastMapLength, 0x4000u);
}

TEST_F(BoardAccess, DriverMissingGives12AndChangesNothing) {
    dev.openFails = true;
    EXPECT_EQ(board.Open(4, 4), 12);
    EXPECT_FALSE(board.IsOpen());
    EXPECT_EQ(board.PortBase(), 0);
    EXPECT_TRUE(Calls("ioctl").empty());
}

TEST_F(BoardAccess, RefusedMappingGives13AndCloseStillReleasesHandle) {
    dev.mapFails = true;
    EXPECT_EQ(board.Open(1, 0), 13);
    EXPECT_TRUE(board.IsOpen());
    EXPECT_EQ(board.Window(), nullptr);
    board.Close();
    EXPECT_EQ(dev.closed.size(), 1u);
}

TEST_F(BoardAccess, SecondOpenKeepsHandleAndMapsAgain) {
    ASSERT_EQ(board.Open(0, 0), 0);
    ASSERT_EQ(board.Open(3, 5), 0);
    EXPECT_EQ(Calls("open").size(), 1u);
    EXPECT_EQ(Calls("ioctl").size(), 2u);
    EXPECT_EQ(board.PortBase(), 0x330);
    EXPECT_EQ(dev.lastMapAddress, 0xD4000u);
}

TEST_F(BoardAccess, IndexOutsideTablesGives13WithoutTouchingDevice) {
    const int cases[][2] = {{-1, 0}, {16, 0}, {0, -1}, {0, 12}, {INT_MIN, INT_MAX}};
    for (auto& c : cases) {
        EXPECT_EQ(board.Open(c[0], c[1]), 13) << c[0] << "," << c[1];
    }
    EXPECT_TRUE(dev.calls.empty());
    EXPECT_FALSE(board.IsOpen());
    EXPECT_EQ(board.PortBase(), 0);
}

TEST_F(BoardAccess, CloseReleasesOnceAndAllowsReopening) {
    board.Close();  // never opened
    EXPECT_TRUE(dev.calls.empty());

    ASSERT_EQ(board.Open(0, 0), 0);
    board.Close();
    board.Close();
    EXPECT_EQ(dev.closed.size(), 1u);
    EXPECT_FALSE(board.IsOpen());
    EXPECT_EQ(board.Window(), nullptr);

    ASSERT_EQ(board.Open(0, 0), 0);
    EXPECT_EQ(Calls("open").size(), 2u);
}

TEST_F(BoardAccess, PortCallsCarryOneByteEachWay) {
    ASSERT_EQ(board.Open(0, 0), 0);
    dev.calls.clear();
    dev.onRead = [](std::uint16_t port) { return port == 0x301 ? std::uint8_t{0x5A} : 0; };
    EXPECT_EQ(board.ReadPort(0x301), 0x5A);  // upper output bytes are 0xEE
    EXPECT_TRUE(board.WritePort(0x302, 0x81));
    ASSERT_EQ(dev.calls.size(), 2u);
    EXPECT_EQ(dev.calls[0].code, 0xC350200Cu);
    EXPECT_EQ(dev.calls[0].in, (Bytes{0x01, 0x03, 0x00, 0x00}));
    EXPECT_EQ(dev.calls[0].b, 4u);
    EXPECT_EQ(dev.calls[1].code, 0xC3502018u);
    EXPECT_EQ(dev.calls[1].in, (Bytes{0x02, 0x03, 0x00, 0x00, 0x81, 0x00, 0x00, 0x00}));
    EXPECT_EQ(dev.calls[1].b, 0u);

    dev.readFails = true;
    EXPECT_EQ(board.ReadPort(0x301), 0xFF);
}

}  // namespace
