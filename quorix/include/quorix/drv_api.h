// The driver's entry table as a host sees it: the only export of the module is DrvFuncTable,
// 32 pointer-sized slots; slots 0 to 16 hold these entries, 17 to 31 are null.
#pragma once

#include <cstdint>
#include <string>

class CTagVal;

namespace drv {

inline constexpr int kSlotCount = 32;
inline constexpr int kEntryCount = 17;

enum Slot {
    kGetVersion = 0,
    kOpen = 1,
    kSetup = 2,
    kStart = 3,
    kEndRegistration = 4,
    kStop = 5,
    kRegisterTag = 6,
    kWriteTag = 7,
    kEntry8 = 8,
    kEntry9 = 9,
    kEntry10 = 10,
    kEntry11 = 11,
    kGetName = 12,
    kSetActive = 13,
    kResetStatistics = 14,
    kGetStatistics = 15,
    kGetStationInfo = 16,
};

using GetVersionFn = std::int32_t (*)();
using OpenFn = std::int32_t (*)(const char* path);
using SetupFn = std::int32_t (*)(const char* path);
using StartFn = std::int32_t (*)(std::int32_t index);
using EndRegistrationFn = std::int32_t (*)(std::int32_t index);
using StopFn = std::int32_t (*)(std::int32_t index);
using RegisterTagFn = std::int32_t (*)(std::int32_t index, const char* device, const char* address,
                                       std::int32_t dataType, std::int32_t size,
                                       std::int32_t tagId);
using WriteTagFn = std::int32_t (*)(std::int32_t index, std::int32_t handle, const CTagVal* value);
using Entry8Fn = std::int32_t (*)();
using Entry9Fn = std::int32_t (*)();
using Entry10Fn = void (*)();
using Entry11Fn = void (*)();
using GetNameFn = const char* (*)();
using SetActiveFn = void (*)(std::int32_t index, const char* station, std::int32_t flag);
using ResetStatisticsFn = void (*)(std::int32_t index, const char* station);
using GetStatisticsFn = std::int32_t (*)(std::int32_t index, const char* station,
                                         std::int32_t* writeRequests, std::int32_t* writeFailures,
                                         std::int32_t* readRequests, std::int32_t* readFailures);
// The two out-parameters are the caller's string objects; the entry assigns them (CP949).
using GetStationInfoFn = void (*)(std::int32_t index, const char* station, std::string* number,
                                  std::string* description);

inline constexpr std::int32_t kVersion = 0x00010000;

}  // namespace drv
