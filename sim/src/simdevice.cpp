#include <algorithm>
#include <cstring>

#include "platform/tvioctrl.h"
#include "sim/board.h"

namespace sim {
namespace {

std::uint32_t Le32(const void* p) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    return static_cast<std::uint32_t>(b[0] | b[1] << 8 | b[2] << 16) |
           static_cast<std::uint32_t>(b[3]) << 24;
}

}  // namespace

plat::HANDLE SimDevice::CreateFileA(const char* path, std::uint32_t, std::uint32_t, std::uint32_t,
                                    std::uint32_t) {
    if (driverMissing || !path ||
        (std::strcmp(path, tvio::kDevicePathNt) != 0 &&
         std::strcmp(path, tvio::kDevicePath9x) != 0))
        return plat::INVALID_HANDLE_VALUE;
    std::lock_guard<std::mutex> lk(mu_);
    open_.push_back(next_);
    return next_++;
}

bool SimDevice::CloseHandle(plat::HANDLE h) {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = std::find(open_.begin(), open_.end(), h);
    if (it == open_.end()) return false;
    open_.erase(it);
    return true;
}

bool SimDevice::GetVersionExA(plat::OSVERSIONINFOA* info) {
    if (!info || info->dwOSVersionInfoSize != sizeof *info) return false;
    std::memset(reinterpret_cast<char*>(info) + sizeof info->dwOSVersionInfoSize, 0,
                sizeof *info - sizeof info->dwOSVersionInfoSize);
    info->dwMajorVersion = 5;
    info->dwPlatformId = plat::VER_PLATFORM_WIN32_NT;
    return true;
}

bool SimDevice::DeviceIoControl(plat::HANDLE h, std::uint32_t code, const void* in,
                                std::uint32_t inSize, void* out, std::uint32_t outSize,
                                std::uint32_t* returned) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (std::find(open_.begin(), open_.end(), h) == open_.end()) return false;
    }
    if (returned) *returned = 0;
    switch (code) {
        case tvio::IOCTL_MAP_PHYSICAL_MEMORY: {
            if (!in || inSize < 8 || !out || outSize < tvio::kMapOutputSize) return false;
            const std::uint32_t physical = Le32(in),
                                length = Le32(static_cast<const char*>(in) + 4);
            if (board_.MappingRefused() || length != kWindowSize || physical % kWindowSize ||
                physical < tvio::kWindowFirst || physical > tvio::kWindowLast)
                return false;
            void* address = board_.Window();
            if (physical != board_.WindowPhysical()) {
                // Nothing decodes that address: the bus reads all ones.
                std::lock_guard<std::mutex> lk(mu_);
                if (!emptyBusInit_) {
                    emptyBus_.fill(0xFF);
                    emptyBusInit_ = true;
                }
                address = emptyBus_.data();
            }
            std::memcpy(out, &address, sizeof address);
            if (returned) *returned = tvio::kMapOutputSize;
            return true;
        }
        case tvio::IOCTL_READ_PORT_BYTE: {
            if (!in || inSize < 4 || !out || outSize < 4) return false;
            const std::uint32_t port = Le32(in);
            const std::uint8_t v =
                port > 0xFFFF ? 0xFF : board_.ReadPort(static_cast<std::uint16_t>(port));
            std::memset(out, 0, 4);
            *static_cast<std::uint8_t*>(out) = v;
            if (returned) *returned = 4;
            ++portReads;
            return true;
        }
        case tvio::IOCTL_WRITE_PORT_BYTE: {
            if (!in || inSize < 8) return false;
            const std::uint32_t port = Le32(in);
            if (port <= 0xFFFF)
                board_.WritePort(static_cast<std::uint16_t>(port),
                                 static_cast<std::uint8_t>(Le32(static_cast<const char*>(in) + 4)));
            ++portWrites;
            return true;
        }
        default:
            return false;
    }
}

}  // namespace sim
