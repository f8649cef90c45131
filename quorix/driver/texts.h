// The module's texts: the runtime messages and the string table. They are written here in
// UTF-8 and converted to CP949 once, on first use; everything outside sees CP949 only.
#pragma once

#include <cstdint>
#include <string>

#include "framework/resources.h"

inline constexpr int kMessageCount = 17;  // message 0 is empty and never reported

// String ids of the module's string table.
enum : std::uint32_t {
    IDS_STATION_NAME_EMPTY = 2700,
    IDS_STATION_NAME_USED = 2701,
    IDS_STATION_NO_USED = 2702,
    IDS_ADDRESS_INVALID = 2703,
    IDS_BLOCK_OVERLAP = 2704,
    IDS_BLOCK_RANGE = 2705,
    IDS_ASK_DELETE_BLOCK = 2706,
    IDS_STATION_NO_INVALID = 2707,
    IDS_ASK_DELETE_STATION = 2708,
    IDS_ASK_SAVE = 2709,
    IDS_TEST_MAP_FAILED = 2710,
    IDS_TEST_NO_BOARD = 2711,
    IDS_TEST_NO_DRIVER = 2712,
    IDS_TEST_OK = 2713,
};

// The prefix every runtime message starts with (CP949; ASCII only).
inline constexpr const char* kMessagePrefix = "[VURAVO-V OZI] ";
// The module's name as the host shows it.
inline constexpr const char* kDriverName = "Vuravo-V OZI";

// CP949 format of runtime message n (0..15); empty for anything else.
const std::string& MessageFormat(int n);
// The module's resources: the string table 2700..2713 in CP949.
const CResourceModule& ModuleResources();
// A string of the module's table in CP949 (empty for an unknown id), without the registry.
const std::string& ModuleString(std::uint32_t id);
