// Takes typed values off the front of a fuzz input; past its end everything reads as zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : p_(data), left_(size) {}
    std::size_t Left() const { return left_; }
    std::uint8_t U8() {
        if (!left_) return 0;
        --left_;
        return *p_++;
    }
    std::uint16_t U16() { return static_cast<std::uint16_t>(U8() | U8() << 8); }
    std::uint32_t U32() { return U16() | static_cast<std::uint32_t>(U16()) << 16; }
    // Up to n bytes.
    std::string Bytes(std::size_t n) {
        if (n > left_) n = left_;
        std::string out(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        left_ -= n;
        return out;
    }
    // A text of length given by the next byte (at most max).
    std::string Text(std::size_t max) { return Bytes(U8() % (max + 1)); }

private:
    const std::uint8_t* p_;
    std::size_t left_;
};

}  // namespace fuzz
