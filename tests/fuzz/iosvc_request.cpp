// A client as the I/O service meets it: its socket messages and what it puts in its queue in
// shared memory (requests, counts that may lie, slots written again after they were counted),
// served as the service's loop serves them by a backend that remembers what was written, until
// the service would hang up.
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdint>

#include "server.h"

namespace {

struct PortBackend : iosvc::IBackend {
    bool ReadPort(std::uint16_t port, std::uint8_t& value) override {
        value = ports[port];
        return port % 7 != 6;  // some ports fail, as a device might
    }
    bool WritePort(std::uint16_t port, std::uint8_t value) override {
        ports[port] = value;
        return port % 11 != 10;
    }
    bool MapWindow(std::uint32_t physical, std::uint32_t length, int& fd,
                   std::uint64_t& offset) override {
        if (window < 0) window = ::memfd_create("fuzz-window", MFD_CLOEXEC);
        fd = window;
        offset = 0;
        return physical % 0x8000 == 0;
    }
    std::string Describe() const override { return "fuzz"; }

    std::array<std::uint8_t, 0x10000> ports{};
    int window = -1;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static PortBackend backend;
    iosvc::CIoServer server(backend);
    server.ServeScript(data, size);
    return 0;
}
