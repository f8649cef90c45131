#include "hardware_backend.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log.h"

namespace iosvc {

CHardwareBackend::CHardwareBackend(std::string portDevice, std::string memDevice)
    : portDevice_(std::move(portDevice)), memDevice_(std::move(memDevice)) {}

CHardwareBackend::~CHardwareBackend() {
    if (portFd_ >= 0) ::close(portFd_);
    if (memFd_ >= 0) ::close(memFd_);
}

bool CHardwareBackend::Open() {
    portFd_ = ::open(portDevice_.c_str(), O_RDWR | O_CLOEXEC);
    if (portFd_ < 0) {
        Log(LogLevel::Error, "cannot open port device %s: %s", portDevice_.c_str(),
            std::strerror(errno));
        return false;
    }
    // O_SYNC: the window is device memory; the kernel then maps it uncached.
    memFd_ = ::open(memDevice_.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
    if (memFd_ < 0) {
        Log(LogLevel::Error, "cannot open memory device %s: %s", memDevice_.c_str(),
            std::strerror(errno));
        return false;
    }
    return true;
}

bool CHardwareBackend::ReadPort(std::uint16_t port, std::uint8_t& value) {
    ssize_t n;
    do {
        n = ::pread(portFd_, &value, 1, port);
    } while (n < 0 && errno == EINTR);
    if (n != 1) {
        Log(LogLevel::Warning, "port read 0x%03X failed: %s", port,
            n < 0 ? std::strerror(errno) : "short read");
        return false;
    }
    return true;
}

bool CHardwareBackend::WritePort(std::uint16_t port, std::uint8_t value) {
    ssize_t n;
    do {
        n = ::pwrite(portFd_, &value, 1, port);
    } while (n < 0 && errno == EINTR);
    if (n != 1) {
        Log(LogLevel::Warning, "port write 0x%03X failed: %s", port,
            n < 0 ? std::strerror(errno) : "short write");
        return false;
    }
    return true;
}

bool CHardwareBackend::MapWindow(std::uint32_t physical, std::uint32_t, int& fd,
                                 std::uint64_t& offset) {
    fd = memFd_;
    offset = physical;
    return memFd_ >= 0;
}

std::string CHardwareBackend::Describe() const {
    return "hardware (ports " + portDevice_ + ", memory " + memDevice_ + ")";
}

}  // namespace iosvc
