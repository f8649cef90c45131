// Time to register word tags outside every block through the driver module (DrvRegisterTag, as a
// host calls it), for growing counts. Each count gets a fresh DrvStart, so registration starts
// from an empty engine. The host's message output is the harness's in-memory log: what is timed
// is the module, message 9 per tag included, not the printing of 65,000 lines.
//
//   register_bench [--runs N]     (default 3; the median of the runs is shown)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "in_process_service.h"
#include "tarvodbm/tagdb.h"

namespace {

constexpr int kStations = 7;  // Master K-1000, D0000..D9999 each
constexpr int kWordsPerStation = 10000;
constexpr int kUint16 = 4;

std::string Config() {
    std::string json = R"({"stations": [)";
    for (int s = 1; s <= kStations; ++s) {
        json += (s > 1 ? "," : "");
        json += R"({"name": "S)" + std::to_string(s) +
                R"(", "cpu": "Master K-1000", "stationNo": )" + std::to_string(s) + "}";
    }
    return json + "]}";
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 3;
    for (int i = 1; i + 1 < argc; i += 2)
        if (!std::strcmp(argv[i], "--runs")) runs = std::max(1, std::atoi(argv[i + 1]));

    e2e::TempDir dir;
    ::setenv("QX_DEVICE_DIR", dir.Path().c_str(), 1);
    std::string error;
    if (!e2e::MakeConfig(Config(), dir / "bench.cfg", error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    bench::InProcessService service;
    if (!service.Start(R"({"stations": []})", dir / "TVIOCTRL.sock", error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }

    e2e::MessageLog messages;
    e2e::Module module;
    int rc = 0;
    std::int32_t index = -1;
    if (!module.Load(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        rc = 1;
    } else if ((index = module.Open(dir / "bench.cfg")) < 0) {
        std::fprintf(stderr, "DrvOpen failed:\n%s", messages.Dump().c_str());
        rc = 1;
    }

    // The host's tags and their addresses exist before the timing, as in a host's database.
    const int most = 65000;
    std::vector<std::int32_t> ids;
    std::vector<std::pair<std::string, std::string>> where;  // device, address
    for (int i = 0; i < most && !rc; ++i) {
        char address[8];
        std::snprintf(address, sizeof address, "D%04d", i % kWordsPerStation);
        where.emplace_back("DLU.S" + std::to_string(1 + i / kWordsPerStation), address);
        ids.push_back(CTagDatabase::Instance().AddTag("T" + std::to_string(i)));
    }

    if (!rc)
        std::printf(
            "| tags | registered | time (median of %d) | per tag |\n|---:|---:|---:|---:|\n", runs);
    for (int count : {10000, 20000, 40000, 65000}) {
        if (rc) break;
        std::vector<double> seconds;
        int registered = 0;
        for (int r = 0; r < runs && !rc; ++r) {
            if (module.Start(index) != 0) {
                std::fprintf(stderr, "DrvStart failed:\n%s", messages.Dump().c_str());
                rc = 1;
                break;
            }
            registered = 0;
            const auto t0 = std::chrono::steady_clock::now();
            for (int i = 0; i < count; ++i)
                registered += module.Register(index, where[i].first, where[i].second, kUint16, 2,
                                              ids[i]) >= 0;
            module.EndRegistration(index);
            seconds.push_back(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
            module.Stop(index);
        }
        if (rc) break;
        std::sort(seconds.begin(), seconds.end());
        const double s = seconds[seconds.size() / 2];
        std::printf("| %d | %d | %.3f s | %.0f ns |\n", count, registered, s, 1e9 * s / count);
        std::fflush(stdout);
        if (registered != count) rc = 1;
    }
    module.Unload();
    return rc;
}
