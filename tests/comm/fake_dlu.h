// A K-Link board at the port and window level for the engine's tests: grants every access
// at once, answers the detection sequence, keeps the two banks, and lets the test see the
// requests the PC places and post answers into their slots. Single-threaded: the test calls
// the engine's cycle steps and the board helpers in turn.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "platform/platform.h"
#include "platform/tvioctrl.h"

namespace fake {

struct SentRequest {
    int slot = 0;
    std::uint16_t command = 0;
    std::vector<std::uint8_t> request;  // 64 bytes at the request offset
    std::vector<std::uint8_t> data;     // 122 bytes at the data offset (writes)
    std::uint8_t Function() const { return static_cast<std::uint8_t>(command); }
    int Station() const { return command >> 8; }
    // Big-endian fields of the first request item.
    int Area() const { return request[0] << 8 | request[1]; }
    int Word() const { return request[2] << 8 | request[3]; }
    int Count() const { return request[4] << 8 | request[5]; }
};

class DluDevice : public plat::IDevice {
public:
    static constexpr std::uint32_t kBitmap = 0x0002, kCommand = 0x000E, kRequest = 0x0096,
                                   kData = 0x00D6, kStride = 256;

    DluDevice() {
        window_.fill(0);
        other_.fill(0);
    }

    bool openFails = false;
    bool mapFails = false;
    bool detectFails = false;
    std::atomic<bool> refuseLock{false};
    // Access requests still granted before the board refuses them all; negative: no limit.
    std::atomic<int> grantsLeft{-1};
    std::vector<SentRequest> sent;  // every request in the order the PC placed it
    // Runs on the PC's thread each time it gives access back: a board that answers at once.
    std::function<void(DluDevice&)> onUnlock;

    plat::HANDLE CreateFileA(const char*, std::uint32_t, std::uint32_t, std::uint32_t,
                             std::uint32_t) override {
        return openFails ? plat::INVALID_HANDLE_VALUE : 7;
    }
    bool DeviceIoControl(plat::HANDLE, std::uint32_t code, const void* in, std::uint32_t inSize,
                         void* out, std::uint32_t outSize, std::uint32_t* returned) override {
        std::uint32_t w[2] = {0, 0};
        if (in) std::memcpy(w, in, std::min<std::uint32_t>(inSize, 8));
        if (code == tvio::IOCTL_MAP_PHYSICAL_MEMORY) {
            if (mapFails || outSize < sizeof(void*)) return false;
            void* p = window_.data();
            std::memcpy(out, &p, sizeof p);
            if (returned) *returned = sizeof p;
            return true;
        }
        if (code == tvio::IOCTL_READ_PORT_BYTE) {
            std::uint32_t v = ReadPort(w[0] & 0xF);
            if (out && outSize >= 4) std::memcpy(out, &v, 4);
            if (returned) *returned = 4;
            return true;
        }
        if (code == tvio::IOCTL_WRITE_PORT_BYTE) {
            WritePort(w[0] & 0xF, static_cast<std::uint8_t>(w[1]));
            return true;
        }
        return false;
    }
    bool CloseHandle(plat::HANDLE) override { return true; }
    bool GetVersionExA(plat::OSVERSIONINFOA* info) override {
        info->dwPlatformId = plat::VER_PLATFORM_WIN32_NT;
        info->dwMajorVersion = 5;
        return true;
    }

    // Slots whose request the PC has placed and the board has not answered, lowest first.
    std::vector<int> Pending() {
        std::vector<int> out;
        for (int s = 0; s < 32; ++s)
            if (Bit(Bank(0), s) && !Bit(Bank(1), s)) out.push_back(s);
        return out;
    }
    SentRequest Request(int slot) { return Read(slot); }
    // Posts the board's answer: the error number in the response word's high byte, 128 bytes.
    void Answer(int slot, std::uint8_t error, const std::uint8_t* data = nullptr,
                std::uint8_t lowByte = 0) {
        std::uint8_t* r = Bank(1);
        r[kCommand + 2 * slot] = lowByte;
        r[kCommand + 2 * slot + 1] = error;
        if (data) std::memcpy(r + kData + kStride * slot, data, 128);
        r[kBitmap + slot / 8] |= static_cast<std::uint8_t>(0x80 >> (slot % 8));
    }
    // Answers every pending request with the same error number and data.
    int AnswerAll(std::uint8_t error, const std::uint8_t* data = nullptr) {
        auto p = Pending();
        for (int s : p) Answer(s, error, data);
        return static_cast<int>(p.size());
    }
    bool RequestBit(int slot) { return Bit(Bank(0), slot); }
    bool ResponseBit(int slot) { return Bit(Bank(1), slot); }

private:
    static bool Bit(const std::uint8_t* bank, int slot) {
        return (bank[kBitmap + slot / 8] & (0x80 >> (slot % 8))) != 0;
    }
    std::uint8_t* Bank(int b) { return b == bank_ ? window_.data() : other_.data(); }

    SentRequest Read(int slot) {
        SentRequest r;
        r.slot = slot;
        const std::uint8_t* q = Bank(0);
        r.command =
            static_cast<std::uint16_t>(q[kCommand + 2 * slot] | q[kCommand + 2 * slot + 1] << 8);
        r.request.assign(q + kRequest + kStride * slot, q + kRequest + kStride * slot + 64);
        r.data.assign(q + kData + kStride * slot, q + kData + kStride * slot + 122);
        return r;
    }

    std::uint8_t ReadPort(std::uint32_t offset) {
        static const std::uint8_t expect[7] = {0x01, 0x02, 0x06, 0x05, 0x03, 0x04, 0x07};
        if (offset == 0) return refuseLock || !granted_ ? 0x03 : 0x00;
        if (offset == 1) {
            if (detectFails) return 0x00;
            return step_ < 7 ? expect[step_] : 0xC0;
        }
        return 0xFF;
    }
    void WritePort(std::uint32_t offset, std::uint8_t v) {
        static const std::uint8_t reply[7] = {0x02, 0x06, 0x04, 0x03, 0x07, 0x00, 0x01};
        if (offset == 3) step_ = 0;  // reset
        if (offset == 1 && step_ < 7 && v == reply[step_]) ++step_;
        if (offset == 2) SelectBank(v & 1);
        if (offset == 0 && (v & 0x03)) {
            int left = grantsLeft.load();
            granted_ = left != 0;
            if (left > 0) grantsLeft.store(left - 1);
        }
        if (offset == 0 && v == 0xC0) {
            NoteNewRequests();
            if (onUnlock) onUnlock(*this);
        }
    }
    void SelectBank(int b) {
        if (b != bank_) {
            std::swap(window_, other_);
            bank_ = b;
        }
        // A withdrawn request takes its answer with it.
        for (int s = 0; s < 32; ++s)
            if (!Bit(Bank(0), s) && Bit(Bank(1), s))
                Bank(1)[kBitmap + s / 8] &= static_cast<std::uint8_t>(~(0x80 >> (s % 8)));
    }
    // Called whenever the PC gives access back: a request bit that came up is a new request.
    void NoteNewRequests() {
        for (int s = 0; s < 32; ++s) {
            bool now = Bit(Bank(0), s);
            if (now && !seen_[s]) sent.push_back(Read(s));
            seen_[s] = now;
        }
    }

    std::array<std::uint8_t, 0x4000> window_;
    std::array<std::uint8_t, 0x4000> other_;
    int bank_ = 0;
    int step_ = 0;
    bool granted_ = true;
    bool seen_[32] = {};
};

}  // namespace fake
