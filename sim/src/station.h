// A Master-K station behind the board: its memory per device, sized by its CPU type, the
// value generators that drive some of its words, and the execution of one request.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "sim/board.h"

namespace sim {

inline constexpr int kRequestAreaSize = 64;  // request items, or the write header
inline constexpr int kDataAreaSize = 128;    // write data / response data
inline constexpr int kMaxReadWords = kDataAreaSize / 2;
inline constexpr int kMaxWriteWords = 61;  // 122 bytes of write data

// One decoded request item (area code, first word, word count, continuation mark).
struct Item {
    std::uint16_t area = 0;
    std::uint16_t word = 0;
    std::uint16_t count = 0;
    bool more = false;
    int device = -1;  // for the station's CPU type, -1 unknown
};

struct Outcome {
    std::uint8_t error = ERR_NONE;
    std::vector<Item> items;
    std::array<std::uint8_t, kDataAreaSize> data{};  // response data (reads)
    int dataBytes = 0;                               // response bytes used, or write bytes
    std::uint16_t keep = 0, set = 0;                 // bit writes
};

// The items of a request as far as they can be read, with devices for the CPU type (-1: none).
std::vector<Item> DecodeItems(std::uint8_t function, const std::uint8_t* request, int cpuType);
// "D0100+32", or "area 0x1234 word 100+32" when the area is unknown.
std::string DescribeItem(const Item& item);
const char* ErrorName(std::uint8_t error);

class Station {
public:
    explicit Station(const StationSpec& spec);

    const StationSpec& Spec() const { return spec_; }
    // Runs the request against memory. `request` is the 64-byte item area, `data` the 128-byte
    // data area of the slot.
    Outcome Execute(std::uint8_t function, const std::uint8_t* request, const std::uint8_t* data);
    void RunGenerators(std::uint32_t now, std::mt19937& rng);
    // Milliseconds from now until a generator next changes a word; UINT32_MAX for none.
    std::uint32_t NextUpdateIn(std::uint32_t now) const;

    bool Peek(int device, int word, std::uint16_t& out) const;
    bool Poke(int device, int word, std::uint16_t value);

private:
    struct GenState {
        bool started = false;
        std::uint32_t start = 0, next = 0;
        std::vector<double> values;
    };
    void Update(const Generator& g, GenState& s, std::uint32_t now, std::mt19937& rng);
    std::uint8_t Check(Item& item) const;

    StationSpec spec_;
    std::array<std::vector<std::uint16_t>, 9> mem_;
    std::vector<GenState> gens_;
};

}  // namespace sim
