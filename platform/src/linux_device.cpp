// Client side of the device services. The socket protocol lives with tvioctrld.
#include "platform/linux_device.h"

#include <cstdlib>
#include <cstring>

namespace plat {

std::string DeviceDirectory() {
    const char* dir = std::getenv("QX_DEVICE_DIR");
    return (dir && *dir) ? std::string(dir) : std::string("/run/quorix");
}

std::string DeviceSocketPath(const std::string& deviceName) {
    static const std::string prefix = "\\\\.\\";
    if (deviceName.rfind(prefix, 0) != 0 || deviceName.size() == prefix.size()) return {};
    std::string name = deviceName.substr(prefix.size());
    if (name.find_first_of("/\\") != std::string::npos) return {};
    return DeviceDirectory() + "/" + name + ".sock";
}

struct LinuxDevice::Connection {};

LinuxDevice::LinuxDevice() = default;
LinuxDevice::~LinuxDevice() = default;

HANDLE LinuxDevice::CreateFileA(const char*, std::uint32_t, std::uint32_t, std::uint32_t,
                                std::uint32_t) {
    return INVALID_HANDLE_VALUE;  // connection to the service: see tvioctrld
}

bool LinuxDevice::DeviceIoControl(HANDLE, std::uint32_t, const void*, std::uint32_t, void*,
                                  std::uint32_t, std::uint32_t* returned) {
    if (returned) *returned = 0;
    return false;
}

bool LinuxDevice::CloseHandle(HANDLE) { return false; }

bool LinuxDevice::GetVersionExA(OSVERSIONINFOA* info) {
    if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) return false;
    std::memset(reinterpret_cast<char*>(info) + 4, 0, sizeof(OSVERSIONINFOA) - 4);
    info->dwMajorVersion = 5;
    info->dwMinorVersion = 1;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    return true;
}

}  // namespace plat
