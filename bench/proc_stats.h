// What the benchmarks read of a process from /proc: CPU time, memory, the load, and percentiles.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

// CPU time of a thread or of a process, in clock ticks.
struct Cpu {
    long user = 0, system = 0;
    long Total() const { return user + system; }
};

inline Cpu ReadCpu(const std::string& statPath) {
    std::ifstream f(statPath);
    std::string line;
    std::getline(f, line);
    Cpu cpu;
    // The name in parentheses may hold blanks: fields count from after its closing one.
    std::size_t close = line.rfind(')');
    if (close == std::string::npos) return cpu;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) cpu.user = std::atol(field.c_str());
        if (i == 15) cpu.system = std::atol(field.c_str());
    }
    return cpu;
}

// Resident memory of a process in KiB (VmRSS), 0 when it is gone.
inline long ResidentKiB(const std::string& pid) {
    std::ifstream f("/proc/" + pid + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

inline double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

inline std::string LoadAverage() {
    std::ifstream f("/proc/loadavg");
    std::string a, b, c;
    f >> a >> b >> c;
    return a + " " + b + " " + c;
}

}  // namespace bench
