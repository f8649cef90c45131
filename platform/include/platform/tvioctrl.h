// The device interface of the TVIOCTRL I/O driver: its names and control codes. Shared by the
// board access in the module, the Linux device client and the tvioctrld service.
#pragma once

#include <cstdint>

namespace tvio {

inline constexpr const char* kDevicePathNt = "\\\\.\\TVIOCTRL";
inline constexpr const char* kDevicePath9x = "\\\\.\\TVIOCTRL.VXD";

// CTL_CODE(0xC350, function, METHOD_BUFFERED, FILE_ANY_ACCESS)
constexpr std::uint32_t CtlCode(std::uint32_t deviceType, std::uint32_t function) {
    return (deviceType << 16) | (function << 2);
}
inline constexpr std::uint32_t IOCTL_MAP_PHYSICAL_MEMORY = CtlCode(0xC350, 0x801);
inline constexpr std::uint32_t IOCTL_READ_PORT_BYTE = CtlCode(0xC350, 0x803);
inline constexpr std::uint32_t IOCTL_WRITE_PORT_BYTE = CtlCode(0xC350, 0x806);
static_assert(IOCTL_MAP_PHYSICAL_MEMORY == 0xC3502004u);
static_assert(IOCTL_READ_PORT_BYTE == 0xC350200Cu);
static_assert(IOCTL_WRITE_PORT_BYTE == 0xC3502018u);

// Input of IOCTL_MAP_PHYSICAL_MEMORY. The output is the user-mode address of the mapping: on
// this platform a pointer-sized value, since a 64-bit process cannot name it in 32 bits.
struct MapRequest {
    std::uint32_t physical;
    std::uint32_t length;
};
inline constexpr std::uint32_t kMapOutputSize = sizeof(void*);

// What the service lets a client touch: the board's port block and its memory windows.
inline constexpr std::uint32_t kPortFirst = 0x300;
inline constexpr std::uint32_t kPortLast = 0x3FF;
inline constexpr std::uint32_t kWindowFirst = 0xC0000;
inline constexpr std::uint32_t kWindowLast = 0xEFFFF;
inline constexpr std::uint32_t kWindowSize = 0x4000;

}  // namespace tvio
