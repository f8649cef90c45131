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

// The numbers a data type can carry to the PLC without losing digits (FLOAT: a float's range;
// BIT: any number, 0 is off). A write outside them is refused rather than sent cut.
struct ValueRange {
    double low, high;
};
inline ValueRange RangeOfType(int dataType) {
    switch (dataType) {
        case DT_SINT8:
            return {-128, 127};
        case DT_SINT16:
            return {-32768, 32767};
        case DT_SINT32:
            return {-2147483648.0, 2147483647.0};
        case DT_UINT8:
            return {0, 255};
        case DT_UINT16:
            return {0, 65535};
        case DT_UINT32:
            return {0, 4294967295.0};
        case DT_SBCD8:
            return {-79, 79};
        case DT_SBCD16:
            return {-7999, 7999};
        case DT_SBCD32:
            return {-79999999, 79999999};
        case DT_BCD8:
            return {0, 99};
        case DT_BCD16:
            return {0, 9999};
        case DT_BCD32:
            return {0, 99999999};
        case DT_BIT:
            return {-1.7976931348623157e308, 1.7976931348623157e308};
        default:
            return {-3.4028234663852886e38, 3.4028234663852886e38};
    }
}

struct TagBinding {
    std::int32_t tagId = 0;
    std::uint16_t dataType = 0;
    std::uint16_t sizeOrBit = 0;  // size in bytes, or the bit number for DT_BIT
    std::uint16_t offset = 0;     // block: word offset from the start word; group: item index
};
