// Three instances of the driver, each on a simulated board of its own, driven through the entry
// table by host threads and by the host's own callbacks (value delivery and message output) in
// random order: overlapping writes of words, bits, double words and strings, starts and stops from
// any thread and across instances, a start while writes are under way, two starts at once. Then it
// quiesces and checks that no entry took longer than a bound, that every instance is in the state
// its last request asked for, and that each PLC's memory holds the host's writes applied in order.
// The clock runs ten times fast, so that board resets and time-outs take little real time.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "comm/tag_binding.h"
#include "config/address.h"
#include "config/doc.h"
#include "config/records.h"
#include "dezudur/output.h"
#include "driver/hostlibs.h"
#include "platform/fakes.h"
#include "platform/tvioctrl.h"
#include "quorix/drv_api.h"
#include "sim/board.h"
#include "tarvodbm/tagdb.h"
#include "tarvosub/tagval.h"

extern "C" void* DrvFuncTable[drv::kSlotCount];

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kInstances = 3;
constexpr int kRegions = 2;  // one per writer thread; a writer's tags overlap each other only

class FastClock : public plat::IClock {
public:
    std::uint32_t GetTickCount() override {
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0_);
        return static_cast<std::uint32_t>(us.count() / 100);
    }
    void Sleep(std::uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::microseconds(100 * std::uint64_t(ms)));
    }

private:
    Clock::time_point t0_ = Clock::now();
};

// Routes each handle's calls to the board at the port or window they name, as an ISA bus does.
class Bus : public plat::IDevice {
public:
    void Add(sim::Board& b) {
        boards_.push_back(std::make_unique<sim::SimDevice>(b)), sims_.push_back(&b);
    }
    plat::HANDLE CreateFileA(const char* path, std::uint32_t a, std::uint32_t s, std::uint32_t d,
                             std::uint32_t f) override {
        plat::HANDLE h = plat::INVALID_HANDLE_VALUE;
        for (auto& dev : boards_) h = dev->CreateFileA(path, a, s, d, f);  // same numbers in each
        return h;
    }
    bool DeviceIoControl(plat::HANDLE h, std::uint32_t code, const void* in, std::uint32_t inSize,
                         void* out, std::uint32_t outSize, std::uint32_t* returned) override {
        std::uint32_t at = 0;
        if (in && inSize >= 4) std::memcpy(&at, in, 4);
        std::size_t i = 0;
        for (std::size_t k = 0; k < sims_.size(); ++k)
            if (code == tvio::IOCTL_MAP_PHYSICAL_MEMORY ? at == sims_[k]->WindowPhysical()
                                                        : (at & 0xFFF0) == sims_[k]->PortBase())
                i = k;
        return boards_[i]->DeviceIoControl(h, code, in, inSize, out, outSize, returned);
    }
    bool CloseHandle(plat::HANDLE h) override {
        bool ok = false;
        for (auto& dev : boards_) ok = dev->CloseHandle(h);
        return ok;
    }
    bool GetVersionExA(plat::OSVERSIONINFOA* info) override {
        return boards_[0]->GetVersionExA(info);
    }

private:
    std::vector<std::unique_ptr<sim::SimDevice>> boards_;
    std::vector<sim::Board*> sims_;
};

template <class F>
F Entry(drv::Slot slot) {
    return reinterpret_cast<F>(DrvFuncTable[slot]);
}

// A tag of a writer's region: word offset, type, size, bit.
struct TagDef {
    int offset;
    int type;
    int size;
    int bit = -1;
};
const TagDef kTags[] = {
    {0, DT_UINT16, 2}, {1, DT_SINT16, 2}, {1, DT_UINT32, 4}, {2, DT_FLOAT, 4},  {4, DT_STRING, 6},
    {0, DT_BIT, 0, 3}, {0, DT_BIT, 0, 7}, {5, DT_BIT, 0, 0}, {3, DT_BIT, 0, 9}, {2, DT_UINT16, 2},
};
constexpr int kTagCount = sizeof kTags / sizeof kTags[0];

struct Station {
    const char* name;
    int number;
    int base[kRegions];  // first word of each region
};
const Station kStations[] = {{"GROUPED", 1, {100, 200}}, {"BLOCK", 2, {0, 8}}};

// The PLC words as the host's writes leave them: a value and which of its bits are known.
struct Model {
    std::map<std::pair<int, int>, std::pair<std::uint16_t, std::uint16_t>> words;  // value, known
    void Set(int st, int word, std::uint16_t value, std::uint16_t mask) {
        auto& w = words[{st, word}];
        w.first = static_cast<std::uint16_t>((w.first & ~mask) | (value & mask));
        w.second |= mask;
    }
    void Forget(int st, int word, std::uint16_t mask) { words[{st, word}].second &= ~mask; }
};

// What a write of `v` (or `text`) to tag `d` puts into the PLC: words from its offset, bit masks.
std::vector<std::pair<std::uint16_t, std::uint16_t>> Effect(const TagDef& d, double v,
                                                            const std::string& text) {
    switch (d.type) {
        case DT_BIT:
            return {{static_cast<std::uint16_t>(v != 0 ? 1u << d.bit : 0),
                     static_cast<std::uint16_t>(1u << d.bit)}};
        case DT_UINT32: {
            const auto u = static_cast<std::uint32_t>(v);
            return {{static_cast<std::uint16_t>(u), 0xFFFF},
                    {static_cast<std::uint16_t>(u >> 16), 0xFFFF}};
        }
        case DT_FLOAT: {
            const float f = static_cast<float>(v);
            std::uint32_t u;
            std::memcpy(&u, &f, 4);
            return {{static_cast<std::uint16_t>(u), 0xFFFF},
                    {static_cast<std::uint16_t>(u >> 16), 0xFFFF}};
        }
        case DT_STRING: {
            char b[6] = {};
            std::memcpy(b, text.data(), std::min<std::size_t>(text.size(), 6));
            std::vector<std::pair<std::uint16_t, std::uint16_t>> out;
            for (int i = 0; i < 3; ++i)
                out.push_back({static_cast<std::uint16_t>(std::uint8_t(b[2 * i]) |
                                                          std::uint8_t(b[2 * i + 1]) << 8),
                               0xFFFF});
            return out;
        }
        default:
            return {{static_cast<std::uint16_t>(static_cast<std::int32_t>(v)), 0xFFFF}};
    }
}

class LifecycleStress : public ::testing::Test {
protected:
    struct Instance {
        std::unique_ptr<sim::Board> board;
        std::int32_t index = -1;
        std::array<std::array<std::array<std::int32_t, kTagCount>, kRegions>, 2> handles{};
        std::mutex mu;  // the model and the record of lifecycle requests
        Model model;
        struct Request {
            Clock::time_point in, out;
            bool run;
        };
        std::vector<Request> requests;
    };

    void SetUp() override {
        hostlibs::LoadRuntimeLibraries();
        CTagDatabase::Instance().Clear();
        const char* ports[] = {"0x300", "0x340", "0x380"};
        const char* windows[] = {"0xC0000", "0xD0000", "0xD8000"};
        const int ioIndex[] = {0, 4, 8}, memIndex[] = {0, 4, 6};
        for (int i = 0; i < kInstances; ++i) {
            sim::Scenario sc;
            std::string error;
            const std::string json = std::string(R"({"board": {"port": ")") + ports[i] +
                                     R"(", "window": ")" + windows[i] + R"("}, "stations": [
                {"name": "GROUPED", "number": 1, "cpu": "K-200"},
                {"name": "BLOCK", "number": 2, "cpu": "K-200", "delayMs": 40}]})";
            ASSERT_TRUE(sim::ParseScenario(json, sc, error)) << error;
            inst_[i].board = std::make_unique<sim::Board>(std::move(sc));
            bus_.Add(*inst_[i].board);
            inst_[i].board->Start();

            CQuorixDoc doc;
            doc.Port().m_nIoIndex = ioIndex[i];
            doc.Port().m_nMemIndex = memIndex[i];
            for (const Station& s : kStations) {
                auto st = std::make_unique<CStationInfo>();
                st->m_strName = s.name;
                st->m_nStationNo = s.number;
                st->m_nCpuType = CPU_K200;
                doc.Stations().push_back(std::move(st));
            }
            auto block = std::make_unique<CCommBlock>();
            block->m_nDevice = DEV_D;
            block->m_nWordCount = 16;
            block->m_nPeriod = 100;
            block->m_nAreaCode = AreaCode(CPU_K200, DEV_D);
            doc.Stations().back()->m_blocks.push_back(std::move(block));
            const auto path = dir_ / ("plant" + std::to_string(i) + ".cfg");
            doc.SetPath(path.string());
            ASSERT_TRUE(doc.Save());
            inst_[i].index = Entry<drv::OpenFn>(drv::kOpen)(path.c_str());
            ASSERT_GE(inst_[i].index, 0);
        }
        for (int t = 0; t < kTagCount * kRegions * 2; ++t)
            tagIds_.push_back(CTagDatabase::Instance().AddTag("t" + std::to_string(t)));
    }
    void TearDown() override {
        for (auto& in : inst_) {
            Entry<drv::StopFn>(drv::kStop)(in.index);
            in.board->Stop();
        }
        std::filesystem::remove_all(dir_);
    }

    // Every entry goes through here: its time is the longest any entry took, if longest.
    template <class F>
    auto Timed(F f) {
        const auto t0 = Clock::now();
        struct Done {
            LifecycleStress* self;
            Clock::time_point t0;
            ~Done() {
                const auto ms =
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0)
                        .count();
                for (auto m = self->longestMs_.load(); ms > m;)
                    if (self->longestMs_.compare_exchange_weak(m, ms)) break;
            }
        } done{this, t0};
        return f();
    }
    // A start or stop, recorded with its time so that the last one can be told.
    void Lifecycle(int i, int what) {
        Instance& in = inst_[i];
        const auto t0 = Clock::now();
        Timed([&] {
            if (what == 0) Entry<drv::StopFn>(drv::kStop)(in.index);
            if (what == 1) Entry<drv::SetActiveFn>(drv::kSetActive)(in.index, nullptr, 1);
            if (what == 2) Entry<drv::SetActiveFn>(drv::kSetActive)(in.index, nullptr, 0);
            if (what == 3) {
                EXPECT_EQ(Entry<drv::StartFn>(drv::kStart)(in.index), 0);
            }
            return 0;
        });
        std::lock_guard<std::mutex> lock(in.mu);
        in.requests.push_back({t0, Clock::now(), what == 1});
    }
    bool RegisterAll(int i) {
        Instance& in = inst_[i];
        bool ok = true;
        for (int s = 0; s < 2; ++s)
            for (int r = 0; r < kRegions; ++r)
                for (int t = 0; t < kTagCount; ++t) {
                    const TagDef& d = kTags[t];
                    char address[16];
                    std::snprintf(address, sizeof address, d.bit >= 0 ? "D%04d.%d" : "D%04d",
                                  kStations[s].base[r] + d.offset, d.bit);
                    const std::string device = std::string("DLU.") + kStations[s].name;
                    const std::int32_t h = Timed([&] {
                        return Entry<drv::RegisterTagFn>(drv::kRegisterTag)(
                            in.index, device.c_str(), address, d.type, d.size,
                            tagIds_[(s * kRegions + r) * kTagCount + t]);
                    });
                    std::lock_guard<std::mutex> lock(in.mu);
                    in.handles[s][r][t] = h;
                    ok = ok && h >= 0;
                }
        Timed([&] { return Entry<drv::EndRegistrationFn>(drv::kEndRegistration)(in.index); });
        return ok;
    }
    // A random write of a region's tag; `known` false: a stop may drop it, so the model forgets.
    void Write(std::mt19937& rng, int i, int s, int r, bool known) {
        Instance& in = inst_[i];
        const int t = static_cast<int>(rng() % kTagCount);
        const TagDef& d = kTags[t];
        CTagVal v;
        double value = 0;
        std::string text;
        if (d.type == DT_STRING) {
            text.assign(rng() % 7, 'a');
            for (char& c : text) c = static_cast<char>('a' + rng() % 26);
            v.SetVal(text.c_str());
        } else {
            value = d.type == DT_BIT      ? rng() % 2
                    : d.type == DT_SINT16 ? static_cast<int>(rng() % 65536) - 32768
                    : d.type == DT_FLOAT  ? static_cast<int>(rng() % 4000) * 0.25
                    : d.type == DT_UINT32 ? static_cast<double>(rng())
                                          : rng() % 65536;
            v.SetVal(value);
        }
        std::lock_guard<std::mutex> lock(in.mu);  // the model's order is the host's
        const std::int32_t result = Timed([&] {
            return Entry<drv::WriteTagFn>(drv::kWriteTag)(in.index, in.handles[s][r][t], &v);
        });
        const int word = kStations[s].base[r] + d.offset;
        auto effect = Effect(d, value, text);
        for (std::size_t k = 0; k < effect.size(); ++k) {
            if (known && result == 0)
                in.model.Set(s, word + static_cast<int>(k), effect[k].first, effect[k].second);
            else
                in.model.Forget(s, word + static_cast<int>(k), effect[k].second);
        }
    }
    // The first word (station, word, PLC value, model value) where the PLC differs, if any.
    std::string Mismatch(int i) {
        Instance& in = inst_[i];
        std::lock_guard<std::mutex> lock(in.mu);
        for (const auto& [key, w] : in.model.words) {
            std::uint16_t plc = 0;
            if (!in.board->PeekWord(kStations[key.first].number, AreaCode(CPU_K200, DEV_D),
                                    key.second, plc))
                return "no word";
            if ((plc & w.second) != (w.first & w.second)) {
                char text[128];
                std::snprintf(text, sizeof text,
                              "instance %d %s D%04d: PLC %04X, host %04X (mask %04X)", i,
                              kStations[key.first].name, key.second, plc, w.first, w.second);
                return text;
            }
        }
        return {};
    }
    bool Running(int i) {
        for (const Station& s : kStations)
            Entry<drv::SetActiveFn>(drv::kSetActive)(inst_[i].index, s.name, 1);
        std::int32_t c[4] = {};
        return Timed([&] {
                   return Entry<drv::GetStatisticsFn>(drv::kGetStatistics)(
                       inst_[i].index, nullptr, &c[0], &c[1], &c[2], &c[3]);
               }) != -1;
    }

    std::filesystem::path dir_ =
        std::filesystem::temp_directory_path() / ("qx-lifestress-" + std::to_string(::getpid()));
    bool dirMade_ = std::filesystem::create_directories(dir_);
    FastClock clock_;
    plat::ScopedClock useClock_{&clock_};
    Bus bus_;
    plat::ScopedDevice useDevice_{&bus_};
    std::array<Instance, kInstances> inst_;
    std::vector<std::int32_t> tagIds_;
    std::atomic<long long> longestMs_{0};
};

TEST_F(LifecycleStress, RandomEntriesFromEveryThreadThenWritesReachThePlcsInOrder) {
    for (int i = 0; i < kInstances; ++i) {
        ASSERT_EQ(Entry<drv::StartFn>(drv::kStart)(inst_[i].index), 0);
        ASSERT_TRUE(RegisterAll(i));
        Lifecycle(i, 1);
    }

    // The host's own callbacks stop and start instances, this one or another, now and then.
    std::atomic<bool> chaos{true};
    std::atomic<int> inCallback{0};
    std::atomic<unsigned> calls{0};
    auto callback = [&] {
        ++inCallback;
        if (chaos) {
            const unsigned n = ++calls;
            const int i = static_cast<int>(n % kInstances);
            if (n % 13 == 0) Lifecycle(i, 0);
            if (n % 17 == 0) Lifecycle(i, 1);
            if (n % 29 == 0) {  // a restart asked in a callback, while the stop is under way
                Lifecycle(i, 0);
                Lifecycle(i, 1);
            }
            if (n % 97 == 0) Lifecycle(i, 3);  // the instance has no tags until the host registers
        }
        --inCallback;
    };
    const int listener =
        CTagDatabase::Instance().AddListener([&](std::int32_t, const CTagVal&) { callback(); });
    DezSetSink([&](std::int32_t, std::int32_t, const std::string&) { callback(); });

    // Two starts of one instance at once both succeed.
    std::thread twin([&] { Lifecycle(0, 3); });
    Lifecycle(0, 3);
    twin.join();
    RegisterAll(0);
    Lifecycle(0, 1);

    auto host = [&](unsigned seed) {
        std::mt19937 rng(seed);
        const auto end = Clock::now() + std::chrono::seconds(4);
        while (Clock::now() < end) {
            const int i = static_cast<int>(rng() % kInstances);
            const unsigned op = rng() % 40;
            if (op < 22) {
                Write(rng, i, static_cast<int>(rng() % 2), static_cast<int>(rng() % kRegions),
                      false);
            } else if (op < 27) {
                Lifecycle(i, 1);
            } else if (op < 30) {
                Lifecycle(i, static_cast<int>(rng() % 3) == 0 ? 0 : 2);
            } else if (op == 30) {  // a start while the other threads write: registers anew
                Lifecycle(i, 3);
                RegisterAll(i);
                Lifecycle(i, 1);
            } else if (op < 34) {
                Timed([&] {
                    Entry<drv::SetActiveFn>(drv::kSetActive)(inst_[i].index, "GROUPED",
                                                             static_cast<std::int32_t>(rng() % 2));
                    return 0;
                });
            } else {
                std::int32_t c[4] = {};
                Timed([&] {
                    return Entry<drv::GetStatisticsFn>(drv::kGetStatistics)(
                        inst_[i].index, rng() % 2 ? "BLOCK" : nullptr, &c[0], &c[1], &c[2], &c[3]);
                });
                EXPECT_LE(c[1], c[0]);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
        }
    };
    std::vector<std::thread> hosts;
    for (unsigned s = 0; s < 3; ++s) hosts.emplace_back(host, 101 + s);
    for (auto& t : hosts) t.join();
    chaos = false;
    while (inCallback.load() > 0) std::this_thread::yield();

    // Each instance ends as its last request asked, where that request began after every other
    // one had returned (otherwise the two raced and either outcome is right).
    int judged = 0;
    for (int i = 0; i < kInstances; ++i) {
        Instance& in = inst_[i];
        std::lock_guard<std::mutex> lock(in.mu);
        auto last = std::max_element(in.requests.begin(), in.requests.end(),
                                     [](auto& a, auto& b) { return a.in < b.in; });
        bool clear = true;
        for (auto r = in.requests.begin(); r != in.requests.end(); ++r)
            if (r != last && r->out > last->in) clear = false;
        if (!clear) continue;
        ++judged;
        const bool run = last->run;
        bool settled = false;
        for (int k = 0; k < 300 && !settled; ++k) {
            settled = Running(i) == run;
            if (!settled) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(settled) << "instance " << i << " should be " << (run ? "running" : "stopped");
    }
    std::printf("last request judged on %d of %d instances\n", judged, kInstances);

    // Quiet: the host starts every instance anew and writes, two threads each in its own words.
    for (int i = 0; i < kInstances; ++i) {
        Lifecycle(i, 0);
        Lifecycle(i, 3);
        ASSERT_TRUE(RegisterAll(i));
        Lifecycle(i, 1);
        ASSERT_TRUE(Running(i));
        std::lock_guard<std::mutex> lock(inst_[i].mu);
        inst_[i].model = Model{};
    }
    // Bursts, so that writes of the same words meet in the queue and on the board.
    auto writer = [&](int r, unsigned seed) {
        std::mt19937 rng(seed);
        for (int n = 0; n < 60; ++n) {
            const int i = static_cast<int>(rng() % kInstances), s = static_cast<int>(rng() % 2);
            for (int k = static_cast<int>(rng() % 24); k >= 0; --k) Write(rng, i, s, r, true);
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 20000));
        }
    };
    std::thread w0(writer, 0, 7), w1(writer, 1, 8);
    w0.join();
    w1.join();
    for (int i = 0; i < kInstances; ++i) {
        std::string diff = Mismatch(i);
        for (int k = 0; k < 1000 && !diff.empty(); ++k) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            diff = Mismatch(i);
        }
        EXPECT_EQ(diff, "") << "the PLC does not hold the host's last writes";
    }
    EXPECT_LT(longestMs_.load(), 10000) << "an entry took too long";

    // The callbacks use this body's locals: no value or message may come once it has ended (a
    // listener already called may still run after its removal).
    chaos = false;
    for (auto& in : inst_) Entry<drv::StopFn>(drv::kStop)(in.index);
    CTagDatabase::Instance().RemoveListener(listener);
    DezSetSink(nullptr);
}

}  // namespace
