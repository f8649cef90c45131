// A scripted K-Link board behind plat::FakeDevice: grant bits on the control port, the detection
// handshake, and two memory banks of which the bank register decides the one in the window.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>

#include "platform/fakes.h"

class BoardModel {
public:
    static constexpr std::uint8_t kReply[7] = {0x02, 0x06, 0x04, 0x03, 0x07, 0x00, 0x01};

    explicit BoardModel(plat::FakeDevice& dev, std::uint16_t base = 0x300)
        : base_(base), dev_(dev) {
        for (auto& b : stored_) b.fill(0);
        dev_.onRead = [this](std::uint16_t port) { return Read(port); };
        dev_.onWrite = [this](std::uint16_t port, std::uint8_t v) { Write(port, v); };
    }

    // --- script --------------------------------------------------------------------------------
    bool up = true;     // control status bits read 0
    bool ready = true;  // handshake status bits read 1 once the sequence is done
    std::array<std::uint8_t, 7> handshake{0x01, 0x02, 0x06, 0x05, 0x03, 0x04, 0x07};
    int refuse[3] = {0, 0, 0};            // per mask 1/2: control reads refused, -1 = forever
    std::function<void()> onControlRead;  // lets a test move the clock while a lock waits

    // --- what the board saw -------------------------------------------------------------------
    int handshakeStep = 0;
    int bankWithoutLock = 0;  // bank register written without holding the matching access
    int shown = 0;            // bank in the window

    // The live bytes of a bank: the window while it is shown, the stored copy otherwise.
    std::uint8_t* Bank(int b) { return b == shown ? dev_.window.data() : stored_[b].data(); }

    bool Bit(int bank, int slot) { return Bank(bank)[2 + slot / 8] & (0x80 >> (slot % 8)); }
    void SetBit(int bank, int slot, bool on) {
        std::uint8_t& byte = Bank(bank)[2 + slot / 8];
        byte = on ? (byte | (0x80 >> (slot % 8))) : (byte & ~(0x80 >> (slot % 8)));
    }
    std::uint16_t Command(int slot) {
        return static_cast<std::uint16_t>(Bank(0)[0x0E + 2 * slot] | Bank(0)[0x0F + 2 * slot] << 8);
    }
    const std::uint8_t* RequestArea(int slot) { return Bank(0) + 0x96 + 256 * slot; }
    const std::uint8_t* DataArea(int slot) { return Bank(0) + 0xD6 + 256 * slot; }

    // The board answers a slot: response word, 128 data bytes, then the ready bit.
    void Answer(int slot, std::uint16_t word, std::uint8_t fill = 0) {
        std::uint8_t* bank = Bank(1);
        bank[0x0E + 2 * slot] = static_cast<std::uint8_t>(word);
        bank[0x0F + 2 * slot] = static_cast<std::uint8_t>(word >> 8);
        for (int i = 0; i < 128; ++i)
            bank[0xD6 + 256 * slot + i] = static_cast<std::uint8_t>(fill + i);
        SetBit(1, slot, true);
    }

private:
    std::uint8_t Read(std::uint16_t port) {
        switch (port - base_) {
            case 0: {
                if (onControlRead) onControlRead();
                std::uint8_t v = up ? 0x00 : 0xC0;
                if (requested_) {
                    ++reads_;
                    const int r = refuse[requested_];
                    granted_ = r >= 0 && reads_ > r;
                    if (!granted_) v |= requested_;
                }
                return v;
            }
            case 1:
                if (handshakeStep < 7) return handshake[handshakeStep];
                return ready ? 0xC7 : 0x07;
            default:
                return 0xFF;
        }
    }

    void Write(std::uint16_t port, std::uint8_t v) {
        switch (port - base_) {
            case 0:
                // A 0 here is the reset: it restarts the handshake and excuses the bank write.
                inReset_ = v == 0;
                if (inReset_) handshakeStep = 0;
                requested_ = (v & 0xC0) == 0xC0 ? (v & 3) : 0;
                reads_ = 0;
                granted_ = false;
                break;
            case 1:
                if (handshakeStep < 7 && v == kReply[handshakeStep]) ++handshakeStep;
                break;
            case 2:
                if (!inReset_ && !(granted_ && requested_ == (v == 0 ? 2 : 1))) ++bankWithoutLock;
                if (v <= 1 && v != shown) {
                    std::memcpy(stored_[shown].data(), dev_.window.data(), 0x4000);
                    std::memcpy(dev_.window.data(), stored_[v].data(), 0x4000);
                    shown = v;
                }
                break;
            default:
                break;
        }
    }

    std::uint16_t base_;
    plat::FakeDevice& dev_;
    std::array<std::array<std::uint8_t, 0x4000>, 2> stored_;
    int requested_ = 0;
    int reads_ = 0;
    bool granted_ = false;
    bool inReset_ = false;
};
