#include "address.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "comm/tag_binding.h"

const std::int32_t kWordLimits[kCpuTypeCount][kDeviceCount] = {
    //  P    M   L   K   F    T    C     D   S
    {11, 63, 31, 31, 15, 255, 255, 1023, 99},
    {31, 63, 31, 31, 15, 127, 127, 1023, 99},
    {31, 191, 63, 31, 31, 255, 255, 9999, 99},
    {63, 191, 63, 31, 31, 255, 255, 9999, 99},
};

const std::int32_t kAreaCodes[kCpuTypeCount][kDeviceCount] = {
    {0x774, 0x773, 0x776, 0x775, 0x777, 0x779, 0x77A, 0x772, 0x778},
    {0x114, 0x113, 0x116, 0x115, 0x117, 0x119, 0x11A, 0x112, 0x118},
    {0x796, 0x795, 0x798, 0x797, 0x799, 0x79B, 0x79C, 0x794, 0x79A},
    {0x606, 0x605, 0x608, 0x607, 0x609, 0x60B, 0x60C, 0x604, 0x60A},
};

namespace {

bool InTables(int cpuType, int device) {
    return cpuType >= 0 && cpuType < kCpuTypeCount && device >= 0 && device < kDeviceCount;
}

int DeviceOf(char letter) {
    if (letter == '\0') return -1;
    const char* p = std::strchr(kDeviceLetters, letter);
    return p ? static_cast<int>(p - kDeviceLetters) : -1;
}

// A word number as the platform's unsigned decimal conversion reads it: white space, an optional
// sign, then digits; without a digit no number is read, the value is 0 and *p stays where it
// was. Two mends: a minus sign, and a value beyond 0..INT32_MAX (it would wrap or turn negative
// in a signed comparison), make the number invalid (false).
bool ReadNumber(const char*& p, std::int64_t& value) {
    value = 0;
    const char* q = p;
    while (*q == ' ' || *q == '\t' || *q == '\n' || *q == '\r' || *q == '\f' || *q == '\v') ++q;
    bool minus = *q == '-';
    if (*q == '+' || minus) ++q;
    if (*q < '0' || *q > '9') return true;
    if (minus) return false;
    bool overflow = false;
    for (; *q >= '0' && *q <= '9'; ++q) {
        value = value * 10 + (*q - '0');
        if (value > 0x7FFFFFFF) {
            overflow = true;
            value = 0x80000000LL;  // keep the loop bounded; the number is already invalid
        }
    }
    p = q;
    return !overflow;
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

std::int32_t WordLimit(int cpuType, int device) {
    return InTables(cpuType, device) ? kWordLimits[cpuType][device] : -1;
}

std::int32_t AreaCode(int cpuType, int device) {
    return InTables(cpuType, device) ? kAreaCodes[cpuType][device] : -1;
}

const char* CpuTypeName(int cpuType) {
    static const char* names[kCpuTypeCount] = {"Master K-200", "Master K-250", "Master K-500",
                                               "Master K-1000"};
    return (cpuType >= 0 && cpuType < kCpuTypeCount) ? names[cpuType] : "";
}

int ParseBlockAddress(int cpuType, std::string& address, std::int32_t& device, std::int32_t& word,
                      std::int32_t& areaCode) {
    address = Upper(address);
    std::string copy = address.substr(0, 49);
    int dev = DeviceOf(copy.empty() ? '\0' : copy[0]);
    if (dev < 0) return 0;
    const char* p = copy.c_str() + 1;
    if (*p == '+') return 0;
    std::int64_t value;
    if (!ReadNumber(p, value) || *p != '\0') return 0;
    char text[32];
    std::snprintf(text, sizeof text, "%c%04lld", copy[0], static_cast<long long>(value));
    address = text;
    if (!InTables(cpuType, dev) || value > kWordLimits[cpuType][dev]) return 0;
    device = dev;
    word = static_cast<std::int32_t>(value);
    areaCode = kAreaCodes[cpuType][dev];
    return 1;
}

int ParseTagAddress(int cpuType, const std::string& address, std::int32_t& device,
                    std::int32_t& word, TagBinding& binding) {
    std::string copy = Upper(address.substr(0, 49));
    int dev = DeviceOf(copy.empty() ? '\0' : copy[0]);
    if (dev < 0) return 0;
    const char* p = copy.c_str() + 1;
    std::int64_t value;
    if (!ReadNumber(p, value)) return 0;
    if (binding.dataType == DT_BIT) {
        if (dev <= DEV_F) {
            int bit;
            if (*p == '\0') {
                bit = static_cast<int>(value % 10);
                value /= 10;
            } else if (p[1] == '\0' && *p >= 'A' && *p <= 'F') {
                bit = 10 + (*p - 'A');
            } else {
                return 0;
            }
            binding.sizeOrBit = static_cast<std::uint16_t>(bit);
        } else {
            if (*p != '.') return 0;
            ++p;
            std::int64_t bit;
            // The bit number is plain digits: no blanks or sign after the dot.
            if (*p < '0' || *p > '9') return 0;
            if (!ReadNumber(p, bit) || *p != '\0' || bit > 15) return 0;
            binding.sizeOrBit = static_cast<std::uint16_t>(bit);
        }
    } else if (*p != '\0') {
        return 0;
    }
    if (!InTables(cpuType, dev) || value > kWordLimits[cpuType][dev]) return 0;
    device = dev;
    word = static_cast<std::int32_t>(value);
    return 1;
}

int CheckBlockRange(int cpuType, int device, std::int32_t startWord, std::int32_t wordCount) {
    if (!InTables(cpuType, device)) return 0;
    std::int64_t last = std::int64_t(startWord) + wordCount - 1;
    return last <= kWordLimits[cpuType][device] ? 1 : 0;
}
