// The figures at the protocol's ceiling: 30 requests per 100 ms cycle. The driver module is
// loaded with dlopen and driven through DrvFuncTable as the host drives it; tvioctrld
// --simulate runs as a process of its own, so the CPU figures are the host process's alone.
//
//   qx_ceiling [--seconds N] [--case a|b|c] ...      (default 20 s, every case)
//
// Requests per second are the read requests the driver counts (DrvGetStatistics). Latency is
// from a word changing in the simulated PLC to the host's SetTagValue: "clock" generators
// write the moment of the change (CLOCK_MONOTONIC, ms) and the host reads the same clock when
// the value arrives. The poll thread is found by its name. The service's CPU, measured over the
// same seconds, is shown beside the host's, and the sum of the two.
#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "proc_stats.h"
#include "tarvodbm/tagdb.h"
#include "tarvosub/tagval.h"

namespace {

constexpr int kUint16 = 4;        // host data type
constexpr double kCeiling = 300;  // 30 requests per 100 ms cycle
constexpr int kPerCycle = 30;
constexpr int kCpuK1000 = 3;

struct Tag {
    std::string station;
    std::string address;
    bool clock;  // the low word of a clock
};

struct Case {
    std::string key, title;
    std::string config, scenario;
    std::vector<Tag> tags;
    int blocks = 0;
};

std::string Address(int word) {
    char b[16];
    std::snprintf(b, sizeof b, "D%04d", word);
    return b;
}

std::string Clock(int word, int periodMs) {
    return R"({"address": ")" + Address(word) + R"(", "kind": "clock", "periodMs": )" +
           std::to_string(periodMs) + "}";
}

// Words [first, first + count) of one station as word tags; a clock every `clockEvery` words.
// Only a clock's low word is read for latency (it wraps after 65 s, far above any latency);
// its high word is an ordinary word tag, so that every tag reads one word as in production.
void AddWords(Case& c, const std::string& station, int first, int count, int clockEvery,
              std::vector<int>& clocks) {
    for (int i = 0; i < count; ++i) {
        const bool clock = i % clockEvery == 0 && i + 1 < count;
        c.tags.push_back({station, Address(first + i), clock});
        if (clock) clocks.push_back(first + i);
    }
}

// Clock periods: above the slowest poll interval of the case, staggered so that the changes
// fall on every phase of the poll cycle.
std::string Generators(const std::vector<int>& words, int baseMs, int& k) {
    std::string g;
    for (int w : words) g += (g.empty() ? "" : ", ") + Clock(w, baseMs + 7 * k++);
    return g;
}

std::vector<Case> Cases() {
    std::vector<Case> cases;
    {
        Case c{"a", "(a) 30 blocks x 60 words, every cycle, 1 station", "", "", {}, 30};
        std::string blocks;
        std::vector<int> clocks;
        for (int b = 0; b < 30; ++b) {
            blocks += std::string(b ? ", " : "") + R"({"address": ")" + Address(60 * b) +
                      R"(", "words": 60, "periodMs": 0})";
            AddWords(c, "S00", 60 * b, 60, 60, clocks);
        }
        int k = 0;
        c.config = R"({"stations": [{"name": "S00", "cpu": "Master K-1000", "stationNo": 1,
                       "blocks": [)" +
                   blocks + "]}]}";
        c.scenario = R"({"stations": [{"name": "S00", "number": 1, "cpu": 3, "generators": [)" +
                     Generators(clocks, 500, k) + "]}]}";
        cases.push_back(c);
    }
    {
        Case c{"b", "(b) 4,000 word tags outside blocks, 1 station", "", "", {}, 0};
        std::vector<int> clocks;
        AddWords(c, "S00", 2000, 4000, 100, clocks);
        int k = 0;
        c.config = R"({"stations": [{"name": "S00", "cpu": "Master K-1000", "stationNo": 1,
                       "blocks": []}]})";
        c.scenario = R"({"stations": [{"name": "S00", "number": 1, "cpu": 3, "generators": [)" +
                     Generators(clocks, 3000, k) + "]}]}";
        cases.push_back(c);
    }
    {
        Case c{"c", "(c) 4,000 word tags outside blocks, 32 stations", "", "", {}, 0};
        std::string stations, sims;
        int k = 0;
        for (int s = 0; s < 32; ++s) {
            char name[8];
            std::snprintf(name, sizeof name, "S%02d", s);
            std::vector<int> clocks;
            AddWords(c, name, 2000, 125, 60, clocks);
            stations += std::string(s ? ", " : "") + R"({"name": ")" + name +
                        R"(", "cpu": "Master K-1000", "stationNo": )" + std::to_string(s) +
                        R"(, "blocks": []})";
            sims += std::string(s ? ", " : "") + R"({"name": ")" + name + R"(", "number": )" +
                    std::to_string(s) + R"(, "cpu": )" + std::to_string(kCpuK1000) +
                    R"(, "generators": [)" + Generators(clocks, 3000, k) + "]}";
        }
        c.config = R"({"stations": [)" + stations + "]}";
        c.scenario = R"({"stations": [)" + sims + "]}";
        cases.push_back(c);
    }
    return cases;
}

std::uint32_t NowMs() {
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

using bench::Cpu;
using bench::LoadAverage;
using bench::Percentile;
using bench::ReadCpu;

std::string ThreadName(const std::string& tid) {
    std::ifstream f("/proc/self/task/" + tid + "/comm");
    std::string name;
    std::getline(f, name);
    return name;
}

struct Snapshot {
    std::chrono::steady_clock::time_point at;
    Cpu process, poll, service;
    std::int32_t reads = 0, readFailures = 0;
};

Snapshot Take(const e2e::Module& module, std::int32_t index, pid_t service) {
    Snapshot s;
    s.at = std::chrono::steady_clock::now();
    s.process = ReadCpu("/proc/self/stat");
    s.service = ReadCpu("/proc/" + std::to_string(service) + "/stat");
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            if (ThreadName(e->d_name) == "qx-poll")
                s.poll = ReadCpu(std::string("/proc/self/task/") + e->d_name + "/stat");
        }
        ::closedir(d);
    }
    e2e::Module::Stats st = module.Statistics(index, nullptr);
    s.reads = st.reads;
    s.readFailures = st.readFailures;
    return s;
}

struct Row {
    std::string title;
    int frames = 0, groups = 0;
    double rate = 0, bound = 0;
    double cpu = 0, pollUser = 0, pollSystem = 0, rest = 0, service = 0;
    double median = 0, p99 = 0;
    std::size_t samples = 0;
    std::int32_t failures = 0;
};

bool RunCase(const Case& c, e2e::Module& module, int seconds, Row& row) {
    e2e::TempDir dir;
    ::setenv("QX_DEVICE_DIR", dir.Path().c_str(), 1);
    std::string error;
    if (!e2e::MakeConfig(c.config, dir / "ceiling.cfg", error)) {
        std::fprintf(stderr, "%s: %s\n", c.key.c_str(), error.c_str());
        return false;
    }
    e2e::Service service;
    if (!service.Start(dir.Path(), c.scenario, error)) {
        std::fprintf(stderr, "%s: %s\n", c.key.c_str(), error.c_str());
        return false;
    }
    e2e::MessageLog messages;
    const std::int32_t index = module.Open(dir / "ceiling.cfg");
    if (index < 0 || module.Start(index) != 0) {
        std::fprintf(stderr, "%s: the driver did not start:\n%s", c.key.c_str(),
                     messages.Dump().c_str());
        return false;
    }

    CTagDatabase& db = CTagDatabase::Instance();
    std::set<std::int32_t> clockIds;
    int lastFrame = -1;
    for (std::size_t i = 0; i < c.tags.size(); ++i) {
        const Tag& t = c.tags[i];
        const std::int32_t id = db.AddTag(c.key + "." + std::to_string(i));
        const std::int32_t handle =
            module.Register(index, "DLU." + t.station, t.address, kUint16, 2, id);
        if (handle < 0) {
            std::fprintf(stderr, "%s: %s not registered\n", c.key.c_str(), t.address.c_str());
            return false;
        }
        lastFrame = std::max(lastFrame, static_cast<int>(static_cast<std::uint32_t>(handle) >> 16));
        if (t.clock) clockIds.insert(id);
    }
    module.EndRegistration(index);
    row.title = c.title;
    row.frames = lastFrame + 1;
    row.groups = row.frames - c.blocks;

    std::mutex mu;
    std::vector<double> latencies;
    std::set<std::int32_t> seen;
    std::atomic<bool> measuring{false};
    const int listener = db.AddListener([&](std::int32_t id, const CTagVal& v) {
        const std::uint32_t now = NowMs();
        if (!clockIds.count(id)) return;
        std::lock_guard<std::mutex> lock(mu);
        // The first delivery after activation brings every tag once, changed or not.
        const bool first = seen.insert(id).second;
        if (first || !measuring) return;
        const auto low = static_cast<std::uint16_t>(static_cast<std::uint32_t>(v.GetVal()));
        latencies.push_back(static_cast<std::uint16_t>(now - low));
    });

    module.SetActive(index, nullptr, 1);
    std::this_thread::sleep_for(std::chrono::seconds(4));  // a sweep of every case, and more
    measuring = true;
    const Snapshot a = Take(module, index, service.Pid());
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const Snapshot b = Take(module, index, service.Pid());
    measuring = false;
    module.SetActive(index, nullptr, 0);
    module.Stop(index);
    db.RemoveListener(listener);

    const double elapsed = std::chrono::duration<double>(b.at - a.at).count();
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK)) * elapsed;
    row.rate = (b.reads - a.reads) / elapsed;
    row.failures = b.readFailures - a.readFailures;
    // A sweep of the group frames sends at most 30 a cycle; after the last group the cursor
    // starts again at the first in the next cycle, and the rest of that cycle stays unused.
    if (c.blocks == 0 && row.groups > 0) {
        const int cycles = (row.groups + kPerCycle - 1) / kPerCycle;
        row.bound = row.groups / (cycles * 0.1);
    } else {
        row.bound = kCeiling;
    }
    row.cpu = 100.0 * (b.process.Total() - a.process.Total()) / ticks;
    row.pollUser = 100.0 * (b.poll.user - a.poll.user) / ticks;
    row.pollSystem = 100.0 * (b.poll.system - a.poll.system) / ticks;
    // The process and its threads are sampled in clock ticks apart: a tick of difference may
    // show either way in a short run.
    row.rest = std::max(0.0, row.cpu - row.pollUser - row.pollSystem);
    row.service = 100.0 * (b.service.Total() - a.service.Total()) / ticks;
    std::lock_guard<std::mutex> lock(mu);
    row.samples = latencies.size();
    row.median = Percentile(latencies, 0.5);
    row.p99 = Percentile(latencies, 0.99);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 20;
    std::set<std::string> wanted;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--seconds")) seconds = std::max(1, std::atoi(argv[i + 1]));
        if (!std::strcmp(argv[i], "--case")) wanted.insert(argv[i + 1]);
    }
    e2e::Module module;
    std::string error;
    if (!module.Load(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("At the protocol's ceiling: %d s a case; load average before: %s\n", seconds,
                LoadAverage().c_str());
    std::vector<Row> rows;
    int rc = 0;
    for (const Case& c : Cases()) {
        if (!wanted.empty() && !wanted.count(c.key)) continue;
        Row row;
        if (!RunCase(c, module, seconds, row)) {
            rc = 1;
            continue;
        }
        rows.push_back(row);
    }
    module.Unload();

    std::printf("\n%-50s %6s %7s %7s %15s %7s %16s %6s %8s %8s %8s %8s %7s\n", "case", "frames",
                "req/s", "fill", "bound", "CPU", "poll usr+sys", "rest", "service", "both",
                "median", "p99", "samples");
    for (const Row& r : rows) {
        char bound[32];
        std::snprintf(bound, sizeof bound, "%.1f/s %.1f%%", r.bound, 100 * r.bound / kCeiling);
        char poll[32];
        std::snprintf(poll, sizeof poll, "%.2f+%.2f%%", r.pollUser, r.pollSystem);
        std::printf(
            "%-50s %6d %7.1f %6.1f%% %15s %6.2f%% %16s %5.2f%% %7.2f%% %7.2f%% %6.0fms %6.0fms "
            "%7zu\n",
            r.title.c_str(), r.frames, r.rate, 100 * r.rate / kCeiling, bound, r.cpu, poll, r.rest,
            r.service, r.cpu + r.service, r.median, r.p99, r.samples);
        if (r.failures) std::printf("  %d read failures while measuring\n", r.failures);
    }
    std::printf(
        "\nreq/s: read requests the driver counted (DrvGetStatistics); fill: of the "
        "ceiling, 300/s; bound: what the poll order allows. CPU: host process, %% of one "
        "core; service: tvioctrld, the same; both: the two together. Load average after: %s\n",
        LoadAverage().c_str());
    return rc;
}
