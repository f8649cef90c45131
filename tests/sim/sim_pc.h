// A small PC side for the simulator tests: the port and window steps a driver takes, written
// straight against sim::Board so the board can be tested without the module.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "sim/board.h"

namespace simtest {

inline constexpr std::uint32_t kBitmap = 0x0002, kCommand = 0x000E, kRequest = 0x0096,
                               kData = 0x00D6, kStride = 256;

// A request item: area code, word, count; big-endian, with the continuation mark.
inline std::vector<std::uint8_t> Item(std::uint16_t area, std::uint16_t word, std::uint16_t count,
                                      bool more = false) {
    return {static_cast<std::uint8_t>(area >> 8),
            static_cast<std::uint8_t>(area),
            static_cast<std::uint8_t>(word >> 8),
            static_cast<std::uint8_t>(word),
            static_cast<std::uint8_t>((count >> 8) | (more ? 0x80 : 0)),
            static_cast<std::uint8_t>(count)};
}

inline std::vector<std::uint8_t> Concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct Response {
    std::uint8_t error = 0xEE;
    std::uint8_t low = 0;
    std::uint8_t data[128] = {};
    std::uint16_t Word(int i) const {
        return static_cast<std::uint16_t>(data[2 * i] | data[2 * i + 1] << 8);
    }
};

class Pc {
public:
    explicit Pc(sim::Board& b) : board(b), base(b.PortBase()), w(b.Window()) {}

    std::uint8_t In(int offset) {
        return board.ReadPort(static_cast<std::uint16_t>(base + offset));
    }
    void Out(int offset, std::uint8_t v) {
        board.WritePort(static_cast<std::uint16_t>(base + offset), v);
    }

    void Reset() {
        for (int offset : {0, 0, 1, 1, 2, 2, 3, 3}) Out(offset, 0);
    }
    bool Detect() {
        static const std::uint8_t expect[7] = {0x01, 0x02, 0x06, 0x05, 0x03, 0x04, 0x07};
        static const std::uint8_t reply[7] = {0x02, 0x06, 0x04, 0x03, 0x07, 0x00, 0x01};
        for (int i = 0; i < 7; ++i) {
            if (In(1) != expect[i]) return false;
            Out(1, reply[i]);
        }
        const bool up = (In(0) & 0xC0) == 0 && (In(1) & 0xC0) == 0xC0;
        Out(0, 0xC0);
        return up;
    }
    // The board grants at once unless its firmware is in the window, which it leaves quickly.
    bool Lock(std::uint8_t mask, long tries = 100000000) {
        Out(0, static_cast<std::uint8_t>(0xC0 | mask));
        for (long i = 0; i < tries; ++i)
            if ((In(0) & mask) == 0) return true;
        Out(0, 0xC0);
        return false;
    }
    void Unlock() { Out(0, 0xC0); }

    bool Send(int slot, std::uint16_t command, const std::vector<std::uint8_t>& request,
              const std::vector<std::uint8_t>& data = {}) {
        if (!Lock(2)) return false;
        Out(2, 0);
        w[kCommand + 2 * slot] = static_cast<std::uint8_t>(command);
        w[kCommand + 2 * slot + 1] = static_cast<std::uint8_t>(command >> 8);
        std::memcpy(w + kRequest + kStride * slot, request.data(), request.size());
        if (!data.empty()) std::memcpy(w + kData + kStride * slot, data.data(), data.size());
        own[slot / 8] |= static_cast<std::uint8_t>(0x80 >> (slot % 8));
        w[kBitmap + slot / 8] = own[slot / 8];
        Unlock();
        return true;
    }
    bool Ready(int slot) {
        if (!Lock(1)) return false;
        Out(2, 1);
        const bool set = (w[kBitmap + slot / 8] & (0x80 >> (slot % 8))) != 0;
        Unlock();
        return set;
    }
    Response Take(int slot) {
        Response r;
        if (!Lock(1)) return r;
        Out(2, 1);
        r.low = w[kCommand + 2 * slot];
        r.error = w[kCommand + 2 * slot + 1];
        std::memcpy(r.data, w + kData + kStride * slot, 128);
        Unlock();
        return r;
    }
    void Withdraw(int slot) {
        own[slot / 8] &= static_cast<std::uint8_t>(~(0x80 >> (slot % 8)));
        if (!Lock(2)) return;
        Out(2, 0);
        w[kBitmap + slot / 8] = own[slot / 8];
        Unlock();
    }
    // Send, let the firmware take one pass, collect and withdraw.
    Response Exchange(int slot, std::uint16_t command, const std::vector<std::uint8_t>& request,
                      const std::vector<std::uint8_t>& data = {}) {
        Send(slot, command, request, data);
        board.ProcessOnce();
        Response r = Take(slot);
        Withdraw(slot);
        board.ProcessOnce();
        return r;
    }

    sim::Board& board;
    std::uint16_t base;
    std::uint8_t* w;
    std::uint8_t own[4] = {};
};

}  // namespace simtest
