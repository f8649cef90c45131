// What one port byte and one request/response cycle cost through the service, and the same on
// the simulated board in-process, so the price of the socket hop shows as a ratio.
#include <benchmark/benchmark.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "board/dluboard.h"
#include "config/address.h"
#include "platform/fakes.h"
#include "platform/platform.h"
#include "service_process.h"
#include "sim/board.h"

namespace {

const char kScenario[] = R"({
  "board": {"port": "0x340", "window": "0xD8000"},
  "stations": [{"name": "LINE", "number": 1, "cpu": "Master K-200",
                "memory": {"D0100": [1, 2, 3, 4, 5, 6, 7, 8, 9, 10]}}]
})";

// The service (or the in-process board) and a board object brought up on it.
struct Rig {
    iosvc_test::TempDir dir;
    iosvc_test::ServiceProcess service;
    std::unique_ptr<sim::Board> simBoard;
    std::unique_ptr<sim::SimDevice> simDevice;
    CDluBoard board;
    bool ok = false;

    explicit Rig(bool viaService) {
        sim::Scenario scenario;
        std::string error;
        if (viaService) {
            std::string file = dir.File("scenario.json");
            ::setenv("QX_DEVICE_DIR", dir.Path().c_str(), 1);
            plat::SetDevice(nullptr);
            if (!iosvc_test::WriteFile(file, kScenario) ||
                !service.Start({"--simulate", file, "--socket", dir.File("TVIOCTRL.sock")},
                               dir.File("service.log"))) {
                return;
            }
        } else {
            if (!sim::ParseScenario(kScenario, scenario, error)) return;
            simBoard = std::make_unique<sim::Board>(scenario);
            simBoard->Start();
            simDevice = std::make_unique<sim::SimDevice>(*simBoard);
            plat::SetDevice(simDevice.get());
        }
        iosvc_test::QuickClock quick;  // the reset's settle time is not what is measured
        plat::ScopedClock useQuick(&quick);
        ok = board.Open(4, 6) == 0;
        if (ok) {
            board.Reset();
            ok = board.Detect();
        }
    }
    ~Rig() {
        board.Close();
        if (service.Running()) service.Stop(SIGTERM);
        plat::SetDevice(nullptr);
        if (simBoard) simBoard->Stop();
    }
};

void PortRoundTrip(benchmark::State& state, bool viaService) {
    Rig rig(viaService);
    if (!rig.ok) {
        state.SkipWithError("board not brought up");
        return;
    }
    std::uint16_t port = rig.board.PortBase() + DLU_PORT_HANDSHAKE;
    for (auto _ : state) benchmark::DoNotOptimize(rig.board.ReadPort(port));
}

void RequestCycle(benchmark::State& state, bool viaService) {
    Rig rig(viaService);
    if (!rig.ok) {
        state.SkipWithError("board not brought up");
        return;
    }
    int area = AreaCode(0, 7);
    const std::uint8_t item[6] = {
        static_cast<std::uint8_t>(area >> 8), static_cast<std::uint8_t>(area), 0, 100, 0, 10};
    std::uint8_t buffer[DLU_RESPONSE_SIZE];
    std::uint32_t status = 0;
    std::int64_t polls = 0;
    for (auto _ : state) {
        if (!rig.board.SendRequest(DLU_SLOT_BLOCK, 0, 0x0181, item, 6)) {
            state.SkipWithError("request not placed");
            break;
        }
        int slot;
        do {
            slot = rig.board.ReceiveResponse(buffer, status);
            ++polls;
        } while (slot < 0);
        benchmark::DoNotOptimize(buffer);
    }
    state.counters["receive_calls"] =
        benchmark::Counter(static_cast<double>(polls), benchmark::Counter::kAvgIterations);
}

BENCHMARK_CAPTURE(PortRoundTrip, service, true)->UseRealTime();
BENCHMARK_CAPTURE(PortRoundTrip, in_process, false)->UseRealTime();
BENCHMARK_CAPTURE(RequestCycle, service, true)->UseRealTime();
BENCHMARK_CAPTURE(RequestCycle, in_process, false)->UseRealTime();

// Keeps each run's time per iteration, to print the service/in-process ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (!r.error_occurred && r.iterations > 0) {
                times_[r.benchmark_name()] = r.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void PrintRatios() const {
        for (const char* name : {"PortRoundTrip", "RequestCycle"}) {
            auto s = times_.find(std::string(name) + "/service/real_time");
            auto i = times_.find(std::string(name) + "/in_process/real_time");
            if (s == times_.end() || i == times_.end() || i->second <= 0) continue;
            std::printf("%s: service / in-process = %.1f\n", name, s->second / i->second);
        }
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
