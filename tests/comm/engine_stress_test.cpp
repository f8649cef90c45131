// Host threads write, read statistics, enable and disable stations, stop and start in random
// order against the simulated board, while the host's own value delivery and message output now
// and then stop communication too. Nothing may hang or race (the tsan preset runs this), and
// once the host settles, its last writes reach the PLCs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "comm/dlucomm.h"
#include "config/address.h"
#include "config/doc.h"
#include "dezudur/output.h"
#include "driver/hostlibs.h"
#include "platform/fakes.h"
#include "sim/board.h"
#include "tarvodbm/tagdb.h"

namespace {

constexpr const char* kScenario = R"({
  "board": {"port": "0x340", "window": "0xD8000"},
  "stations": [
    {"name": "FAST", "number": 1, "cpu": "K-200"},
    {"name": "SLOW", "number": 2, "cpu": "K-1000", "delayMs": 40},
    {"name": "REFUSES", "number": 3, "cpu": "K-500", "errorNumber": 4}
  ]})";
constexpr int kIo340 = 4, kMemD8000 = 6;

struct TagAt {
    CStationInfo* station;
    const char* address;
    std::int32_t handle = -1;
};

TEST(EngineStress, RandomHostCallsNeverHangAndTheLastWritesArrive) {
    sim::Scenario sc;
    std::string error;
    ASSERT_TRUE(sim::ParseScenario(kScenario, sc, error)) << error;
    sim::Board board(std::move(sc));
    sim::SimDevice device(board);
    plat::ScopedDevice useDevice(&device);
    board.Start();
    hostlibs::LoadRuntimeLibraries();
    CTagDatabase::Instance().Clear();

    CQuorixDoc doc;
    doc.Port().m_nIoIndex = kIo340;
    doc.Port().m_nMemIndex = kMemD8000;
    auto station = [&](const char* name, int number, int cpu) {
        auto s = std::make_unique<CStationInfo>();
        s->m_strName = name;
        s->m_nStationNo = number;
        s->m_nCpuType = cpu;
        doc.Stations().push_back(std::move(s));
        return doc.Stations().back().get();
    };
    CStationInfo* fast = station("FAST", 1, CPU_K200);
    CStationInfo* slow = station("SLOW", 2, CPU_K1000);
    CStationInfo* refuses = station("REFUSES", 3, CPU_K500);
    auto block = std::make_unique<CCommBlock>();
    block->m_nDevice = DEV_D;
    block->m_nWordCount = 8;
    block->m_nPeriod = 100;
    block->m_nAreaCode = AreaCode(CPU_K200, DEV_D);
    fast->m_blocks.push_back(std::move(block));

    auto engine = std::make_unique<CDluComm>(&doc);
    ASSERT_EQ(engine->Start(), 0);
    std::vector<TagAt> tags = {{fast, "D0000"}, {fast, "D0005"}, {fast, "D0100"},
                               {slow, "D0200"}, {slow, "D0201"}, {refuses, "D0300"}};
    for (auto& t : tags) {
        TagBinding b;
        b.tagId = CTagDatabase::Instance().AddTag(t.address);
        b.dataType = DT_UINT16;
        b.sizeOrBit = 2;
        std::int32_t dev = 0, word = 0;
        ASSERT_TRUE(ParseTagAddress(t.station->m_nCpuType, t.address, dev, word, b));
        t.handle = engine->RegisterTag(t.station, t.address, dev, word, b);
        ASSERT_GE(t.handle, 0);
    }
    engine->BuildGroupRequests();

    // The host's own threads stop now and then: inside a delivery and on a station's failure.
    std::atomic<bool> chaos{true};
    std::atomic<unsigned> hostStops{0};
    int listener = CTagDatabase::Instance().AddListener([&](std::int32_t, const CTagVal&) {
        if (chaos && ++hostStops % 7 == 0) engine->SetActive(0);
    });
    DezSetSink([&](std::int32_t, std::int32_t, const std::string&) {
        if (chaos && ++hostStops % 11 == 0) engine->Stop();
    });

    auto host = [&](unsigned seed) {
        std::mt19937 rng(seed);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (std::chrono::steady_clock::now() < end) {
            const unsigned op = rng() % 20;
            if (op < 12) {
                CTagVal v;
                v.SetVal(rng() % 60000);
                engine->WriteTag(tags[rng() % tags.size()].handle, v);
            } else if (op < 14) {
                for (const auto& s : doc.Stations()) {
                    std::int32_t c[4];
                    s->GetStatistics(c[0], c[1], c[2], c[3]);
                    EXPECT_LE(c[1], c[0]);
                }
                engine->IsRunning();
            } else if (op < 16) {
                doc.Stations()[rng() % 3]->m_nEnabled.store(static_cast<std::int32_t>(rng() % 2));
            } else if (op < 18) {
                engine->SetActive(1);
            } else if (op == 18) {
                engine->SetActive(0);
            } else {
                engine->Stop();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 20));
        }
    };
    std::vector<std::thread> hosts;
    for (unsigned i = 0; i < 3; ++i) hosts.emplace_back(host, 17 + i);
    for (auto& t : hosts) t.join();
    chaos = false;

    // Settled: every station on, communication running, one last write per tag.
    for (const auto& s : doc.Stations()) s->m_nEnabled.store(1);
    engine->SetActive(1);
    ASSERT_TRUE(engine->IsRunning());
    std::vector<std::uint16_t> last;
    for (std::size_t i = 0; i < tags.size(); ++i) {
        last.push_back(static_cast<std::uint16_t>(4000 + i));
        CTagVal v;
        v.SetVal(last.back());
        engine->WriteTag(tags[i].handle, v);
    }
    auto arrived = [&] {
        for (std::size_t i = 0; i < tags.size(); ++i) {
            if (tags[i].station == refuses) continue;  // answers every request with an error
            std::int32_t dev = 0, word = 0;
            TagBinding b;
            ParseTagAddress(tags[i].station->m_nCpuType, tags[i].address, dev, word, b);
            std::uint16_t v = 0;
            const int area = AreaCode(tags[i].station->m_nCpuType, dev);
            if (!board.PeekWord(tags[i].station->m_nStationNo, area, word, v) || v != last[i])
                return false;
        }
        return true;
    };
    bool ok = false;
    for (int i = 0; i < 2000 && !ok; ++i) {
        ok = arrived();
        if (!ok) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(ok) << "the last writes did not all reach the PLCs";
    engine->Stop();
    EXPECT_EQ(engine->GetState(), CDluComm::State::Stopped);

    CTagDatabase::Instance().RemoveListener(listener);
    DezSetSink(nullptr);
    engine.reset();
    board.Stop();
}

}  // namespace
