// What the engine itself costs: the poll thread's work for one cycle in which 30 blocks of 60
// words are due at once (sending, answers, change detection, conversion), with unchanged and
// with fully changed data; and registering 10,000 tags, half inside blocks and half outside.
// The board is the simulator in-process; its own firmware time is left out of the figures.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "comm/dlucomm.h"
#include "config/address.h"
#include "config/doc.h"
#include "platform/fakes.h"
#include "sim/board.h"

namespace {

constexpr int kBlocks = 30, kBlockWords = 60, kStationNo = 1;

std::string Scenario() {
    std::string values;
    for (int i = 0; i < kBlocks * kBlockWords; ++i) values += (i ? "," : "") + std::to_string(i);
    return R"({"board": {"port": "0x340", "window": "0xD8000"}, "stations": [
        {"name": "LINE", "number": 1, "cpu": "K-1000", "memory": {"D0000": [)" +
           values + "]}}]}";
}

struct Rig {
    plat::FakeClock clock{1000};
    plat::ScopedClock useClock{&clock};
    std::unique_ptr<sim::Board> board;
    std::unique_ptr<sim::SimDevice> device;
    CQuorixDoc doc;
    std::unique_ptr<CDluComm> engine;
    CStationInfo* station = nullptr;

    Rig() {
        sim::Scenario sc;
        std::string error;
        if (!sim::ParseScenario(Scenario(), sc, error)) return;
        board = std::make_unique<sim::Board>(sc);
        device = std::make_unique<sim::SimDevice>(*board);
        plat::SetDevice(device.get());
        auto st = std::make_unique<CStationInfo>();
        st->m_strName = "LINE";
        st->m_nStationNo = kStationNo;
        st->m_nCpuType = CPU_K1000;
        for (int b = 0; b < kBlocks; ++b) {
            auto block = std::make_unique<CCommBlock>();
            block->m_nDevice = DEV_D;
            block->m_nStartWord = b * kBlockWords;
            block->m_nWordCount = kBlockWords;
            block->m_nPeriod = 0;  // due in every cycle
            block->m_nAreaCode = AreaCode(CPU_K1000, DEV_D);
            st->m_blocks.push_back(std::move(block));
        }
        station = st.get();
        doc.Stations().push_back(std::move(st));
    }
    ~Rig() {
        engine.reset();
        plat::SetDevice(nullptr);
    }
    bool StartEngine() {
        engine = std::make_unique<CDluComm>(&doc);
        return board && engine->Start() == 0;
    }
    std::int32_t Register(int device, int word, std::uint16_t type, std::uint16_t sizeOrBit,
                          std::int32_t id) {
        TagBinding b;
        b.tagId = id;
        b.dataType = type;
        b.sizeOrBit = sizeOrBit;
        return engine->RegisterTag(station, "", device, word, b);
    }
};

// One cycle's engine work: 30 requests placed, 30 answers taken and compared. changed: every
// word differs from the previous answer, so every tag is converted and queued.
void PollCycle(benchmark::State& state, bool changed) {
    Rig rig;
    if (!rig.StartEngine()) {
        state.SkipWithError("board did not come up");
        return;
    }
    for (int w = 0; w < kBlocks * kBlockWords; ++w) rig.Register(DEV_D, w, DT_UINT16, 2, w + 1);
    rig.engine->ResetFrames();
    rig.engine->BeginPolling();
    const int area = AreaCode(CPU_K1000, DEV_D);
    std::uint16_t round = 0;
    std::size_t values = 0;
    for (auto _ : state) {
        rig.engine->RunCycle(rig.clock.Now());
        state.PauseTiming();
        if (changed) {
            ++round;
            for (int w = 0; w < kBlocks * kBlockWords; ++w)
                rig.board->PokeWord(kStationNo, area, w, static_cast<std::uint16_t>(w + round));
        }
        rig.board->ProcessOnce();
        state.ResumeTiming();
        rig.engine->ReceiveResponses();
        state.PauseTiming();
        values += rig.engine->DeliverQueued();
        rig.board->ProcessOnce();  // the board takes back the answers the PC has read
        rig.clock.Advance(100);
        state.ResumeTiming();
    }
    state.counters["values/cycle"] =
        benchmark::Counter(static_cast<double>(values) / static_cast<double>(state.iterations()));
    state.counters["requests/cycle"] =
        benchmark::Counter(static_cast<double>(rig.station->m_nReadRequests.load()) /
                           static_cast<double>(state.iterations()));
    state.counters["read failures"] = rig.station->m_nReadFailures.load();
}

void BM_PollCycle30x60Unchanged(benchmark::State& state) { PollCycle(state, false); }
void BM_PollCycle30x60AllChanged(benchmark::State& state) { PollCycle(state, true); }
BENCHMARK(BM_PollCycle30x60Unchanged)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PollCycle30x60AllChanged)->Unit(benchmark::kMicrosecond);

// 10,000 tags: 5,000 inside the 30 blocks (words, 32-bit values and bits), 5,000 outside them
// (single words and bits of words beyond the blocks, grouped ten words to a frame).
void BM_Register10000Tags(benchmark::State& state) {
    Rig rig;
    std::size_t groups = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (!rig.StartEngine()) {
            state.SkipWithError("board did not come up");
            return;
        }
        state.ResumeTiming();
        for (int i = 0; i < 5000; ++i) {
            int word = i % (kBlocks * kBlockWords - 1);
            switch (i % 3) {
                case 0:
                    rig.Register(DEV_D, word, DT_SINT16, 2, i);
                    break;
                case 1:
                    rig.Register(DEV_D, word, DT_UINT32, 4, i);
                    break;
                default:
                    rig.Register(DEV_D, word, DT_BIT, i % 16, i);
                    break;
            }
        }
        for (int i = 0; i < 5000; ++i) {
            int word = 2000 + i;
            if (i % 4 == 3)
                rig.Register(DEV_D, word - 1, DT_BIT, i % 16, 5000 + i);
            else
                rig.Register(DEV_D, word, DT_SINT16, 2, 5000 + i);
        }
        rig.engine->BuildGroupRequests();
        state.PauseTiming();
        groups = rig.engine->GroupFrameCount();
        rig.engine.reset();
        state.ResumeTiming();
    }
    state.counters["group frames"] = static_cast<double>(groups);
    state.counters["tags/s"] = benchmark::Counter(10000.0 * static_cast<double>(state.iterations()),
                                                  benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Register10000Tags)->Unit(benchmark::kMillisecond);

// N word tags outside every block, as a host with many scattered tags registers them: the time
// per tag should not grow with N.
void BM_RegisterOutsideBlocks(benchmark::State& state) {
    Rig rig;
    const auto n = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        if (!rig.StartEngine()) {
            state.SkipWithError("board did not come up");
            return;
        }
        state.ResumeTiming();
        for (int i = 0; i < n; ++i) {
            if (i % 5 == 4)
                rig.Register(DEV_D, 1000 + (i - 1) % 9000, DT_BIT, i % 16, i);
            else
                rig.Register(DEV_D, 1000 + i % 9000, DT_UINT16, 2, i);
        }
        rig.engine->BuildGroupRequests();
        state.PauseTiming();
        rig.engine.reset();
        state.ResumeTiming();
    }
    state.counters["per tag"] =
        benchmark::Counter(static_cast<double>(n) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_RegisterOutsideBlocks)
    ->Arg(10000)
    ->Arg(20000)
    ->Arg(40000)
    ->Arg(65000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
