#include "sim/board.h"

namespace sim {
namespace {

// Highest word number by CPU type and device ("PMLKFTCDS").
constexpr int kLimits[4][9] = {
    {11, 63, 31, 31, 15, 255, 255, 1023, 99},
    {31, 63, 31, 31, 15, 127, 127, 1023, 99},
    {31, 191, 63, 31, 31, 255, 255, 9999, 99},
    {63, 191, 63, 31, 31, 255, 255, 9999, 99},
};
// Area codes run from a per-CPU base in the order D M P K L F S T C.
constexpr int kBases[4] = {0x772, 0x112, 0x794, 0x604};
constexpr int kOffsetOfDevice[9] = {2, 1, 4, 3, 5, 7, 8, 0, 6};
constexpr const char* kNames[4] = {"Master K-200", "Master K-250", "Master K-500", "Master K-1000"};

bool Valid(int cpuType, int device) {
    return cpuType >= 0 && cpuType < 4 && device >= 0 && device < 9;
}

}  // namespace

int SimWordLimit(int cpuType, int device) {
    return Valid(cpuType, device) ? kLimits[cpuType][device] : -1;
}

int SimAreaCode(int cpuType, int device) {
    return Valid(cpuType, device) ? kBases[cpuType] + kOffsetOfDevice[device] : -1;
}

int SimDeviceOfArea(int cpuType, int areaCode) {
    if (cpuType < 0 || cpuType >= 4) return -1;
    for (int dev = 0; dev < 9; ++dev)
        if (SimAreaCode(cpuType, dev) == areaCode) return dev;
    return -1;
}

const char* SimCpuName(int cpuType) { return cpuType >= 0 && cpuType < 4 ? kNames[cpuType] : ""; }

}  // namespace sim
