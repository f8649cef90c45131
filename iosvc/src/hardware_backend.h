// The real ISA board: port bytes by the processor's port instructions where the kernel gives the
// process I/O permission for the board's port block, else through the port device (/dev/port, one
// pread or pwrite at the port's offset); the window through the memory device (/dev/mem at the
// physical address).
#pragma once

#include <string>

#include "backend.h"

namespace iosvc {

class CHardwareBackend : public IBackend {
public:
    CHardwareBackend(std::string portDevice, std::string memDevice);
    ~CHardwareBackend() override;
    CHardwareBackend(const CHardwareBackend&) = delete;
    CHardwareBackend& operator=(const CHardwareBackend&) = delete;

    // Opens both devices; false when either cannot be opened for reading and writing.
    bool Open();
    // After a failed Open: which device, and whether it is not there or not allowed, in words.
    const std::string& OpenFailure() const { return failure_; }
    bool ReadPort(std::uint16_t port, std::uint8_t& value) override;
    bool WritePort(std::uint16_t port, std::uint8_t value) override;
    bool MapWindow(std::uint32_t physical, std::uint32_t length, int& fd,
                   std::uint64_t& offset) override;
    // The memory device's descriptor reaches all of physical memory, so only a peer that could
    // open the device itself gets it: its uid, gid and groups must be granted reading and
    // writing by the node's owner, group and mode (root included, no override), and for a
    // character device (the real /dev/mem, which the kernel also guards with CAP_SYS_RAWIO that
    // a peer's credentials do not show) it must be root.
    std::string RefuseMapping(const Peer& peer) const override;
    std::string Describe() const override;

private:
    bool EnableDirectPorts();

    std::string portDevice_;
    std::string memDevice_;
    int portFd_ = -1;
    int memFd_ = -1;
    std::string failure_;
    bool direct_ = false;  // port instructions instead of the port device
};

}  // namespace iosvc
