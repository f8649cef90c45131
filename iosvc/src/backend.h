// What stands behind the service: the real board or the simulated one. The server has already
// checked that a port or window is one a client may touch.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace iosvc {

// A client as the kernel described it when it connected (SO_PEERCRED, SO_PEERGROUPS).
struct Peer {
    bool known = false;
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups
};

class IBackend {
public:
    virtual ~IBackend() = default;
    virtual bool ReadPort(std::uint16_t port, std::uint8_t& value) = 0;
    virtual bool WritePort(std::uint16_t port, std::uint8_t value) = 0;
    // A descriptor to hand to the client (still owned by the backend) and the offset at which
    // the client maps `length` bytes of it to see the physical range.
    virtual bool MapWindow(std::uint32_t physical, std::uint32_t length, int& fd,
                           std::uint64_t& offset) = 0;
    // Why this peer may not have the window's descriptor, or empty when it may. Asked before
    // every mapping, for a descriptor that reaches more than the window.
    virtual std::string RefuseMapping(const Peer&) const { return {}; }
    virtual std::string Describe() const = 0;
};

}  // namespace iosvc
