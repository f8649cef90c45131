// What stands behind the service: the real board or the simulated one. The server has already
// checked that a port or window is one a client may touch.
#pragma once

#include <cstdint>
#include <string>

namespace iosvc {

class IBackend {
public:
    virtual ~IBackend() = default;
    virtual bool ReadPort(std::uint16_t port, std::uint8_t& value) = 0;
    virtual bool WritePort(std::uint16_t port, std::uint8_t value) = 0;
    // A descriptor to hand to the client (still owned by the backend) and the offset at which
    // the client maps `length` bytes of it to see the physical range.
    virtual bool MapWindow(std::uint32_t physical, std::uint32_t length, int& fd,
                           std::uint64_t& offset) = 0;
    virtual std::string Describe() const = 0;
};

}  // namespace iosvc
