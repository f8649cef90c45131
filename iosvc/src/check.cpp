#include "check.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "board/dluboard.h"
#include "platform/platform.h"
#include "platform/tvioctrl.h"

namespace iosvc {
namespace {

std::uint32_t GetLe32(const void* p) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

// The I/O device as the board code sees it, served straight from the backend: what the
// service would do for a client, without a socket. It remembers what the check reports.
class CBackendDevice : public plat::IDevice {
public:
    CBackendDevice(IBackend& backend, std::uint16_t handshakePort)
        : backend_(backend), handshakePort_(handshakePort) {}
    ~CBackendDevice() override { Unmap(); }

    plat::HANDLE CreateFileA(const char* path, std::uint32_t, std::uint32_t, std::uint32_t,
                             std::uint32_t) override {
        return std::strcmp(path, tvio::kDevicePathNt) == 0 ? kHandle : plat::INVALID_HANDLE_VALUE;
    }

    bool DeviceIoControl(plat::HANDLE h, std::uint32_t code, const void* in, std::uint32_t inSize,
                         void* out, std::uint32_t outSize, std::uint32_t* returned) override {
        if (h != kHandle) return false;
        if (code == tvio::IOCTL_READ_PORT_BYTE && inSize >= 4 && outSize >= 4) {
            const auto port = static_cast<std::uint16_t>(GetLe32(in));
            std::uint8_t value = 0xFF;
            if (!backend_.ReadPort(port, value)) {
                ++portErrors;
                return false;
            }
            if (port == handshakePort_) handshake.push_back(value);
            std::memset(out, 0, 4);
            *static_cast<std::uint8_t*>(out) = value;
            *returned = 4;
            return true;
        }
        if (code == tvio::IOCTL_WRITE_PORT_BYTE && inSize >= 8) {
            if (backend_.WritePort(
                    static_cast<std::uint16_t>(GetLe32(in)),
                    static_cast<std::uint8_t>(GetLe32(static_cast<const char*>(in) + 4))))
                return true;
            ++portErrors;
            return false;
        }
        if (code == tvio::IOCTL_MAP_PHYSICAL_MEMORY && inSize >= 8 &&
            outSize >= tvio::kMapOutputSize) {
            const std::uint32_t physical = GetLe32(in);
            const std::uint32_t length = GetLe32(static_cast<const char*>(in) + 4);
            int fd = -1;
            std::uint64_t offset = 0;
            if (!backend_.MapWindow(physical, length, fd, offset)) {
                mapError = "the I/O driver refused to map it";
                return false;
            }
            void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                             static_cast<off_t>(offset));
            if (p == MAP_FAILED) {
                mapError =
                    std::string("the kernel refused the mapping (") + std::strerror(errno) + ")";
                return false;
            }
            Unmap();
            map_ = p;
            mapLength_ = length;
            std::memcpy(out, &p, sizeof p);
            *returned = sizeof p;
            return true;
        }
        return false;
    }

    bool CloseHandle(plat::HANDLE h) override {
        Unmap();
        return h == kHandle;
    }

    bool GetVersionExA(plat::OSVERSIONINFOA* info) override {
        info->dwPlatformId = plat::VER_PLATFORM_WIN32_NT;
        return true;
    }

    std::vector<std::uint8_t> handshake;  // every byte read from the handshake port, in order
    int portErrors = 0;
    std::string mapError;

private:
    static constexpr plat::HANDLE kHandle = 1;
    void Unmap() {
        if (map_) ::munmap(map_, mapLength_);
        map_ = nullptr;
    }

    IBackend& backend_;
    std::uint16_t handshakePort_;
    void* map_ = nullptr;
    std::uint32_t mapLength_ = 0;
};

std::string Bytes(const std::uint8_t* p, std::size_t n) {
    std::string text;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%s%02X", i ? " " : "", p[i]);
        text += b;
    }
    return text;
}

int IndexOf(const auto& table, int count, std::uint32_t value) {
    for (int i = 0; i < count; ++i)
        if (table[i] == value) return i;
    return -1;
}

// Steps after a successful open; the board is closed by the caller.
int Detect(CDluBoard& board, CBackendDevice& device, std::uint16_t port, std::uint32_t window,
           std::FILE* out) {
    board.Reset();
    const bool detected = board.Detect();
    const auto& seen = device.handshake;
    const std::size_t shown = seen.size() < DLU_DETECT_STEPS ? seen.size() : DLU_DETECT_STEPS;
    std::fprintf(out, "  board reset; handshake bytes read: %s (expected %s)\n",
                 shown ? Bytes(seen.data(), shown).c_str() : "none",
                 Bytes(kDluDetectExpect, DLU_DETECT_STEPS).c_str());
    if (!detected) {
        if (device.portErrors) {
            std::fprintf(out,
                         "FAILED: the port accesses at 0x%03X failed.\n"
                         "Likely cause: no permission to the port device (run as root).\n",
                         port);
            return kCheckNoDevice;
        }
        std::size_t step = 0;
        while (step < shown && seen[step] == kDluDetectExpect[step]) ++step;
        if (step == 0 && shown && seen[0] == 0xFF) {
            std::fprintf(out,
                         "FAILED: no board answered at port 0x%03X (it reads 0xFF, an empty bus).\n"
                         "Likely cause: no board at that port; check the board's port jumpers "
                         "and the I/O port in the settings.\n",
                         port);
        } else if (step < DLU_DETECT_STEPS) {
            std::fprintf(out,
                         "FAILED: no board answered at port 0x%03X: the handshake stopped at "
                         "step %zu (read 0x%02X, expected 0x%02X).\n"
                         "Likely cause: another device at that port, or the board's firmware "
                         "is not running.\n",
                         port, step + 1, step < shown ? seen[step] : 0xFF, kDluDetectExpect[step]);
        } else {
            std::fprintf(out,
                         "FAILED: the board at port 0x%03X did the handshake but never reported "
                         "ready (waited %u ms).\n"
                         "Likely cause: a firmware fault; switch the PC off and on.\n",
                         port, DLU_DETECT_WAIT);
        }
        return kCheckNoBoard;
    }
    std::fprintf(out, "  board answered at port 0x%03X and reported ready\n", port);

    if (!board.Lock(DLU_ACCESS_RESPONSE)) {
        std::fprintf(out,
                     "FAILED: access lock never granted: the board did not hand over its window "
                     "(waited %u ms).\n"
                     "Likely cause: the board's processor holds the window (firmware fault), or "
                     "another program is using the board; stop it and check again.\n",
                     DLU_LOCK_WAIT);
        return kCheckNoLock;
    }
    board.WritePort(static_cast<std::uint16_t>(port + DLU_PORT_BANK), DLU_BANK_RESPONSE);
    std::vector<std::uint8_t> copy(DLU_WINDOW_SIZE);
    const volatile std::uint8_t* w = board.Window();
    for (std::uint32_t i = 0; i < DLU_WINDOW_SIZE; ++i) copy[i] = w[i];
    board.Unlock();
    std::fprintf(out, "  access to the window granted; first bytes: %s\n",
                 Bytes(copy.data(), 16).c_str());
    bool empty = true;
    for (std::uint8_t b : copy) empty = empty && b == 0xFF;
    if (empty) {
        std::fprintf(out,
                     "FAILED: the window at 0x%05X reads only 0xFF, an empty bus.\n"
                     "Likely cause: the board's memory sits at another address (check the "
                     "window jumpers and the settings), or the range belongs to another "
                     "device.\n",
                     window);
        return kCheckEmptyWindow;
    }
    std::fprintf(out, "OK: board answered at port 0x%03X, window 0x%05X readable.\n", port, window);
    return kCheckOk;
}

}  // namespace

int RunBoardCheck(IBackend& backend, std::uint16_t port, std::uint32_t window, std::FILE* out) {
    const int ioIndex = IndexOf(kDluIoBases, kDluIoBaseCount, port);
    const int memIndex = IndexOf(kDluMemBases, kDluMemBaseCount, window);
    std::fprintf(out, "Board check: port 0x%03X, window 0x%05X, %s\n", port, window,
                 backend.Describe().c_str());

    CBackendDevice device(backend, static_cast<std::uint16_t>(port + DLU_PORT_HANDSHAKE));
    plat::SetDevice(&device);
    int status;
    {
        CDluBoard board;
        const int opened = board.Open(ioIndex, memIndex);
        if (opened == 12) {
            std::fprintf(out, "FAILED: the I/O device cannot be opened.\n");
            status = kCheckNoDevice;
        } else if (opened != 0) {
            std::fprintf(
                out,
                "FAILED: the window at 0x%05X cannot be mapped: %s.\n"
                "Likely cause: the window overlaps another device's memory, or the "
                "kernel does not let the memory device reach it; choose another window "
                "address on the board and in the settings.\n",
                window,
                device.mapError.empty() ? "not a board window address" : device.mapError.c_str());
            status = kCheckNoMapping;
        } else {
            std::fprintf(out, "  window 0x%05X mapped\n", window);
            status = Detect(board, device, port, window, out);
        }
        board.Close();
    }
    plat::SetDevice(nullptr);
    return status;
}

}  // namespace iosvc
