// Test doubles for the platform seams.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace plat {

// A clock that moves only when told. Sleep advances it; every GetTickCount can advance it by a
// fixed step, so that busy-wait loops reach their deadlines without real time passing.
class FakeClock : public IClock {
public:
    explicit FakeClock(std::uint32_t start = 0) : now_(start) {}
    std::uint32_t GetTickCount() override;
    void Sleep(std::uint32_t ms) override;
    void Advance(std::uint32_t ms) { now_.fetch_add(ms); }
    void Set(std::uint32_t t) { now_.store(t); }
    std::uint32_t Now() const { return now_.load(); }
    void SetAutoAdvance(std::uint32_t msPerCall) { step_.store(msPerCall); }
    std::uint64_t SleptTotal() const { return slept_.load(); }
    // Called after every Sleep with the slept time (lets a test drive a board model in step).
    std::function<void(std::uint32_t)> onSleep;

private:
    std::atomic<std::uint32_t> now_;
    std::atomic<std::uint32_t> step_{0};
    std::atomic<std::uint64_t> slept_{0};
};

// Installs a seam for the lifetime of a scope.
class ScopedClock {
public:
    explicit ScopedClock(IClock* c) { SetClock(c); }
    ~ScopedClock() { SetClock(nullptr); }
};
class ScopedDevice {
public:
    explicit ScopedDevice(IDevice* d) { SetDevice(d); }
    ~ScopedDevice() { SetDevice(nullptr); }
};

// A device that records every call. Port reads come from a handler (or 0xFF); the mapping
// hands out a private 16 KB buffer. Each behaviour can be switched off to test failures.
class FakeDevice : public IDevice {
public:
    struct Call {
        std::string what;  // "open", "ioctl", "close", "version"
        std::string path;
        std::uint32_t a = 0, b = 0, c = 0, d = 0;  // open: access, share, disposition, flags
        std::uint32_t code = 0;
        std::vector<std::uint8_t> in;
    };
    struct PortWrite {
        std::uint16_t port;
        std::uint8_t value;
    };

    FakeDevice() { window.fill(0); }
    HANDLE CreateFileA(const char* path, std::uint32_t access, std::uint32_t share,
                       std::uint32_t disposition, std::uint32_t flags) override;
    bool DeviceIoControl(HANDLE h, std::uint32_t code, const void* in, std::uint32_t inSize,
                         void* out, std::uint32_t outSize, std::uint32_t* returned) override;
    bool CloseHandle(HANDLE h) override;
    bool GetVersionExA(OSVERSIONINFOA* info) override;

    std::uint32_t platformId = VER_PLATFORM_WIN32_NT;
    bool openFails = false;
    bool mapFails = false;
    bool portsFail = false;  // every port call fails, as on a handle whose service is gone
    std::function<std::uint8_t(std::uint16_t port)> onRead;
    std::function<void(std::uint16_t port, std::uint8_t value)> onWrite;

    std::vector<Call> calls;
    std::vector<PortWrite> writes;
    std::vector<HANDLE> closed;
    std::uint32_t lastMapAddress = 0, lastMapLength = 0;
    std::array<std::uint8_t, 0x4000> window;

private:
    std::mutex mu_;
    HANDLE next_ = 100;
};

}  // namespace plat
