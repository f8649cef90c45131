// Device addresses of Master-K PLC memory: a device letter of "PMLKFTCDS" and a decimal word
// number, with a bit number for bit tags; limits and area codes per CPU type.
#pragma once

#include <cstdint>
#include <string>

struct TagBinding;

inline constexpr const char* kDeviceLetters = "PMLKFTCDS";
inline constexpr int kDeviceCount = 9;
inline constexpr int kCpuTypeCount = 4;

enum DeviceIndex { DEV_P = 0, DEV_M, DEV_L, DEV_K, DEV_F, DEV_T, DEV_C, DEV_D, DEV_S };
enum CpuType { CPU_K200 = 0, CPU_K250 = 1, CPU_K500 = 2, CPU_K1000 = 3 };

// Highest word number by CPU type and device.
extern const std::int32_t kWordLimits[kCpuTypeCount][kDeviceCount];
// Area code of each device's memory by CPU type and device.
extern const std::int32_t kAreaCodes[kCpuTypeCount][kDeviceCount];

// Limit and area code; -1 for a CPU type or device outside the tables.
std::int32_t WordLimit(int cpuType, int device);
std::int32_t AreaCode(int cpuType, int device);
// "Master K-200" ... for CPU types 0..3 (empty otherwise).
const char* CpuTypeName(int cpuType);

// Start address of a block. Upper-cases the caller's text and, when the letter and number are
// well formed, rewrites it as letter + "%04d". 1 valid, 0 invalid.
int ParseBlockAddress(int cpuType, std::string& address, std::int32_t& device, std::int32_t& word,
                      std::int32_t& areaCode);
// Address of a host tag; for DT_BIT the bit number goes into the binding. 1 valid, 0 invalid.
int ParseTagAddress(int cpuType, const std::string& address, std::int32_t& device,
                    std::int32_t& word, TagBinding& binding);
// 1 when the block's last word is within the device's limit, else 0.
int CheckBlockRange(int cpuType, int device, std::int32_t startWord, std::int32_t wordCount);
