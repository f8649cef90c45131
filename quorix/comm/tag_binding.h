// One registered host tag inside a frame, and the host's data type codes.
#pragma once

#include <cstdint>

enum DataType : std::uint16_t {
    DT_SINT8 = 0,
    DT_SINT16 = 1,
    DT_SINT32 = 2,
    DT_UINT8 = 3,
    DT_UINT16 = 4,
    DT_UINT32 = 5,
    DT_SBCD8 = 6,
    DT_SBCD16 = 7,
    DT_SBCD32 = 8,
    DT_BCD8 = 9,
    DT_BCD16 = 10,
    DT_BCD32 = 11,
    DT_FLOAT = 12,
    DT_BIT = 13,
    DT_STRING = 14,
};

struct TagBinding {
    std::int32_t tagId = 0;
    std::uint16_t dataType = 0;
    std::uint16_t sizeOrBit = 0;  // size in bytes, or the bit number for DT_BIT
    std::uint16_t offset = 0;     // block: word offset from the start word; group: item index
};
