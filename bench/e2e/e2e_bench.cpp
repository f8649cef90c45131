// Latency from a word changing in the simulated PLC to the host's SetTagValue, end to end: the
// I/O service runs in this process (its socket, its simulated board), the driver module is loaded
// with dlopen and reaches the board through the socket like any client. Only the moment of the
// change is known here directly: the word is poked into the station's memory.
//
//   e2e_bench [--samples N] [--group-samples N]
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "framework/codepage.h"
#include "harness.h"
#include "in_process_service.h"
#include "sim/board.h"
#include "tarvodbm/tagdb.h"
#include "tarvosub/tagval.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kConfig[] = R"({
  "stations": [
    {"name": "LINE", "cpu": "Master K-200", "stationNo": 1,
     "blocks": [{"address": "D0100", "words": 32, "periodMs": 1000}]}
  ]
})";

const char kScenario[] = R"({"stations": [{"name": "LINE", "number": 1, "cpu": "K-200"}]})";

struct Probe {
    std::mutex mu;
    std::int32_t tagId = 0;
    double want = -1;
    Clock::time_point arrived;
    std::atomic<bool> done{false};
};

struct Result {
    std::vector<double> ms;
    int lost = 0;
};

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

void Print(const char* what, const Result& r) {
    if (r.ms.empty()) {
        std::printf("%-34s no samples (%d lost)\n", what, r.lost);
        return;
    }
    std::printf("%-34s n=%3zu  median %7.1f ms  p99 %7.1f ms  min %6.1f  max %7.1f  lost %d\n",
                what, r.ms.size(), Percentile(r.ms, 0.5), Percentile(r.ms, 0.99),
                *std::min_element(r.ms.begin(), r.ms.end()),
                *std::max_element(r.ms.begin(), r.ms.end()), r.lost);
}

// Pokes a new value at a random moment (so that the poll phase is sampled evenly) and waits
// for the host to receive it.
Result Measure(const std::function<void(std::uint16_t)>& change, Probe& probe, std::int32_t tagId,
               int samples, int spreadMs, std::uint16_t& next) {
    Result r;
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> pause(0, spreadMs);
    for (int i = 0; i < samples; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pause(rng)));
        ++next;
        {
            std::lock_guard<std::mutex> lock(probe.mu);
            probe.tagId = tagId;
            probe.want = next;
            probe.done = false;
        }
        Clock::time_point t0 = Clock::now();
        change(next);
        bool got = e2e::WaitFor([&] { return probe.done.load(); }, 10000);
        if (!got) {
            ++r.lost;
            continue;
        }
        std::lock_guard<std::mutex> lock(probe.mu);
        r.ms.push_back(std::chrono::duration<double, std::milli>(probe.arrived - t0).count());
    }
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    int samples = 40, groupSamples = 100;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--samples")) samples = std::atoi(argv[i + 1]);
        if (!std::strcmp(argv[i], "--group-samples")) groupSamples = std::atoi(argv[i + 1]);
    }
    e2e::TempDir dir;
    ::setenv("QX_DEVICE_DIR", dir.Path().c_str(), 1);
    std::string error;
    if (!e2e::MakeConfig(kConfig, dir / "bench.cfg", error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    bench::InProcessService service;
    if (!service.Start(kScenario, dir / "TVIOCTRL.sock", error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }

    e2e::MessageLog messages;
    e2e::Module module;
    int rc = 0;
    if (!module.Load(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        rc = 1;
    }
    std::int32_t index = rc ? -1 : module.Open(dir / "bench.cfg");
    if (!rc && (index < 0 || module.Start(index) != 0)) {
        std::fprintf(stderr, "driver did not start:\n%s", messages.Dump().c_str());
        rc = 1;
    }
    if (!rc) {
        CTagDatabase& db = CTagDatabase::Instance();
        std::int32_t blockTag = db.AddTag("block");
        std::int32_t groupTag = db.AddTag("group");
        module.Register(index, "DLU.LINE", "D0110", 4, 2, blockTag);
        std::int32_t groupHandle =
            module.Register(index, "DLU.LINE", "D0500", 4, 2, groupTag);  // outside the block
        module.EndRegistration(index);
        Probe probe;
        int listener = db.AddListener([&](std::int32_t id, const CTagVal& v) {
            Clock::time_point now = Clock::now();
            std::lock_guard<std::mutex> lock(probe.mu);
            if (id == probe.tagId && v.GetVal() == probe.want && !probe.done) {
                probe.arrived = now;
                probe.done = true;
            }
        });
        module.SetActive(index, nullptr, 1);
        e2e::WaitFor([&] { return db.Updates(blockTag) > 0 && db.Updates(groupTag) > 0; });

        const int area = sim::SimAreaCode(0, 7);  // D of a Master K-200
        std::uint16_t next = 0;
        std::printf("word change in the PLC -> host SetTagValue (poll cycle 100 ms)\n");
        sim::Board& board = service.Board();
        auto poke = [&](int word) {
            return [&board, area, word](std::uint16_t v) { board.PokeWord(1, area, word, v); };
        };
        Result block = Measure(poke(110), probe, blockTag, samples, 1000, next);
        Print("block tag, block period 1000 ms:", block);
        Result group = Measure(poke(500), probe, groupTag, groupSamples, 200, next);
        Print("group tag (outside every block):", group);
        // A write travels to the PLC and comes back with the group's next poll.
        Result echo = Measure(
            [&](std::uint16_t v) {
                CTagVal val;
                val.SetVal(static_cast<double>(v));
                module.Write(index, groupHandle, val);
            },
            probe, groupTag, groupSamples, 200, next);
        Print("DrvWriteTag -> value back (group):", echo);
        module.SetActive(index, nullptr, 0);
        module.Stop(index);
        db.RemoveListener(listener);
    }
    module.Unload();
    return rc;
}
