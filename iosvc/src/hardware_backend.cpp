#include "hardware_backend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log.h"

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define QX_PORT_INSTRUCTIONS 1
#endif

namespace iosvc {

namespace {
// The board's port block: all the service ever lets a client reach.
constexpr unsigned kPortFirst = 0x300, kPortCount = 0x100;
}  // namespace

CHardwareBackend::CHardwareBackend(std::string portDevice, std::string memDevice)
    : portDevice_(std::move(portDevice)), memDevice_(std::move(memDevice)) {}

CHardwareBackend::~CHardwareBackend() {
    if (portFd_ >= 0) ::close(portFd_);
    if (memFd_ >= 0) ::close(memFd_);
}

namespace {

// Why a device cannot be opened, as the technician needs to hear it.
std::string OpenTrouble(const char* what, const std::string& path, int error) {
    std::string text = std::string("cannot open the ") + what + " " + path + ": ";
    if (error == ENOENT || error == ENXIO || error == ENODEV)
        return text + "it is not there (the kernel has no such device, or the path is wrong)";
    if (error == EACCES || error == EPERM)
        return text +
               "not allowed (run as root, or with CAP_SYS_RAWIO and read-write access to it)";
    return text + std::strerror(error);
}

}  // namespace

bool CHardwareBackend::Open() {
    portFd_ = ::open(portDevice_.c_str(), O_RDWR | O_CLOEXEC);
    if (portFd_ < 0) {
        failure_ = OpenTrouble("port device", portDevice_, errno);
        return false;
    }
    direct_ = EnableDirectPorts();
    // O_SYNC: the window is device memory; the kernel then maps it uncached.
    memFd_ = ::open(memDevice_.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
    if (memFd_ < 0) {
        failure_ = OpenTrouble("memory device", memDevice_, errno);
        return false;
    }
    return true;
}

bool CHardwareBackend::EnableDirectPorts() {
    // Port instructions only stand in for the real port device (a stand-in file is not ports).
    struct stat st {};
    if (::fstat(portFd_, &st) < 0 || !S_ISCHR(st.st_mode)) return false;
#ifdef QX_PORT_INSTRUCTIONS
    if (::ioperm(kPortFirst, kPortCount, 1) == 0) return true;
    Log(LogLevel::Info, "no I/O permission for ports 0x%03X..0x%03X (%s): using %s", kPortFirst,
        kPortFirst + kPortCount - 1, std::strerror(errno), portDevice_.c_str());
#endif
    return false;
}

bool CHardwareBackend::ReadPort(std::uint16_t port, std::uint8_t& value) {
#ifdef QX_PORT_INSTRUCTIONS
    if (direct_ && port >= kPortFirst && port < kPortFirst + kPortCount) {
        value = ::inb(port);
        return true;
    }
#endif
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
#ifdef QX_PORT_INSTRUCTIONS
    if (direct_ && port >= kPortFirst && port < kPortFirst + kPortCount) {
        ::outb(value, port);
        return true;
    }
#endif
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

std::string CHardwareBackend::RefuseMapping(const Peer& peer) const {
    if (!peer.known) return "the peer's credentials are unknown";
    struct stat st {};
    if (::fstat(memFd_, &st) < 0) return std::string("fstat: ") + std::strerror(errno);

    // The permission class is chosen as the kernel chooses it: owner, else group, else others.
    mode_t bits;
    if (peer.uid == st.st_uid) {
        bits = (st.st_mode >> 6) & 07;
    } else if (peer.gid == st.st_gid ||
               std::find(peer.groups.begin(), peer.groups.end(), st.st_gid) != peer.groups.end()) {
        bits = (st.st_mode >> 3) & 07;
    } else {
        bits = st.st_mode & 07;
    }
    char text[200];
    if ((bits & 06) != 06) {
        std::snprintf(text, sizeof text,
                      "uid %u gid %u may not open %s for reading and writing (mode %03o, owner %u, "
                      "group %u)",
                      static_cast<unsigned>(peer.uid), static_cast<unsigned>(peer.gid),
                      memDevice_.c_str(), static_cast<unsigned>(st.st_mode & 0777),
                      static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_gid));
        return text;
    }
    if (S_ISCHR(st.st_mode) && peer.uid != 0) {
        std::snprintf(text, sizeof text, "uid %u is not root, which %s asks for",
                      static_cast<unsigned>(peer.uid), memDevice_.c_str());
        return text;
    }
    return {};
}

std::string CHardwareBackend::Describe() const {
    char ports[64];
    std::snprintf(ports, sizeof ports, "port instructions 0x%03X..0x%03X", kPortFirst,
                  kPortFirst + kPortCount - 1);
    return std::string("hardware (ports ") + (direct_ ? ports : portDevice_.c_str()) + ", memory " +
           memDevice_ + ")";
}

}  // namespace iosvc
