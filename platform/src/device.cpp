#include <atomic>
#include <cstring>

#include "platform/fakes.h"
#include "platform/linux_device.h"
#include "platform/platform.h"
#include "platform/tvioctrl.h"

namespace plat {
namespace {

// Built before and destroyed after every ordinary static of the binary: a module's detach
// closes its board's device while the module's own statics are torn down.
__attribute__((init_priority(101))) LinuxDevice gRealDevice;
std::atomic<IDevice*> gDevice{&gRealDevice};

}  // namespace

IDevice& Device() { return *gDevice.load(std::memory_order_acquire); }

namespace {
thread_local std::uint32_t tLastError = 0;
}

std::uint32_t GetLastError() { return tLastError; }
void SetLastError(std::uint32_t code) { tLastError = code; }

const char* DeviceErrorText(std::uint32_t code) {
    switch (code) {
        case 0:
            return "no error";
        case ERROR_FILE_NOT_FOUND:
            return "no I/O service listens on the device's socket";
        case ERROR_ACCESS_DENIED:
            return "this user may not connect to the I/O service's socket";
        case ERROR_REQ_NOT_ACCEP:
            return "the I/O service takes no more connections from this user";
        case ERROR_SEM_TIMEOUT:
            return "the I/O service does not answer";
        case ERROR_GEN_FAILURE:
            return "the I/O service answered with something this driver does not understand";
        default:
            return "the device cannot be opened";
    }
}

bool IDevice::ReadPortThenWrite(HANDLE h, std::uint32_t port, std::uint8_t mask, std::uint32_t then,
                                std::uint8_t value, std::uint8_t& status, bool& wrote) {
    wrote = false;
    std::uint32_t in[2] = {port, 0};
    std::uint32_t out = 0xFF;
    std::uint32_t returned = 0;
    if (!DeviceIoControl(h, tvio::IOCTL_READ_PORT_BYTE, in, 4, &out, 4, &returned)) return false;
    status = static_cast<std::uint8_t>(out);
    if (status & mask) return true;
    in[0] = then;
    in[1] = value;
    if (!DeviceIoControl(h, tvio::IOCTL_WRITE_PORT_BYTE, in, 8, nullptr, 0, &returned))
        return false;
    wrote = true;
    return true;
}
void SetDevice(IDevice* device) {
    gDevice.store(device ? device : &gRealDevice, std::memory_order_release);
}

// --- FakeDevice ---------------------------------------------------------------------------------

HANDLE FakeDevice::CreateFileA(const char* path, std::uint32_t access, std::uint32_t share,
                               std::uint32_t disposition, std::uint32_t flags) {
    std::lock_guard<std::mutex> lock(mu_);
    Call c;
    c.what = "open";
    c.path = path ? path : "";
    c.a = access;
    c.b = share;
    c.c = disposition;
    c.d = flags;
    calls.push_back(c);
    if (openFails) return INVALID_HANDLE_VALUE;
    return next_++;
}

bool FakeDevice::DeviceIoControl(HANDLE h, std::uint32_t code, const void* in, std::uint32_t inSize,
                                 void* out, std::uint32_t outSize, std::uint32_t* returned) {
    Call c;
    c.what = "ioctl";
    c.code = code;
    c.a = inSize;
    c.b = outSize;
    if (in && inSize) {
        auto p = static_cast<const std::uint8_t*>(in);
        c.in.assign(p, p + inSize);
    }
    std::uint32_t word[2] = {0, 0};
    if (in) std::memcpy(word, in, std::min<std::uint32_t>(inSize, 8));
    if (returned) *returned = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        calls.push_back(c);
    }
    if (portsFail && code != tvio::IOCTL_MAP_PHYSICAL_MEMORY) return false;
    switch (code) {
        case tvio::IOCTL_MAP_PHYSICAL_MEMORY: {
            if (mapFails || inSize != 8 || outSize < tvio::kMapOutputSize) return false;
            lastMapAddress = word[0];
            lastMapLength = word[1];
            void* p = window.data();
            std::memcpy(out, &p, sizeof p);
            if (returned) *returned = tvio::kMapOutputSize;
            return true;
        }
        case tvio::IOCTL_READ_PORT_BYTE: {
            std::uint8_t v = onRead ? onRead(static_cast<std::uint16_t>(word[0])) : 0xFF;
            std::uint32_t outWord = v;
            if (out && outSize >= 4) std::memcpy(out, &outWord, 4);
            if (returned) *returned = 4;
            return true;
        }
        case tvio::IOCTL_WRITE_PORT_BYTE: {
            auto port = static_cast<std::uint16_t>(word[0]);
            auto value = static_cast<std::uint8_t>(word[1]);
            {
                std::lock_guard<std::mutex> lock(mu_);
                writes.push_back({port, value});
            }
            if (onWrite) onWrite(port, value);
            return true;
        }
        default:
            return false;
    }
}

bool FakeDevice::CloseHandle(HANDLE h) {
    std::lock_guard<std::mutex> lock(mu_);
    Call c;
    c.what = "close";
    calls.push_back(c);
    closed.push_back(h);
    return true;
}

bool FakeDevice::GetVersionExA(OSVERSIONINFOA* info) {
    if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) return false;
    std::memset(reinterpret_cast<char*>(info) + 4, 0, sizeof(OSVERSIONINFOA) - 4);
    info->dwMajorVersion = platformId == VER_PLATFORM_WIN32_NT ? 5 : 4;
    info->dwPlatformId = platformId;
    return true;
}

}  // namespace plat
