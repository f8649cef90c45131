#include "sim/board.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <thread>

#include "station.h"

namespace sim {
namespace {

constexpr int kPortControl = 0, kPortHandshake = 1, kPortBank = 2, kPortAux = 3;
constexpr std::uint32_t kOfsBitmap = 0x0002, kOfsCommand = 0x000E, kOfsRequest = 0x0096,
                        kOfsData = 0x00D6, kStride = 256;

// What the board shows on the handshake port at each step, and what it expects back.
constexpr std::uint8_t kShow[7] = {0x01, 0x02, 0x06, 0x05, 0x03, 0x04, 0x07};
constexpr std::uint8_t kExpect[7] = {0x02, 0x06, 0x04, 0x03, 0x07, 0x00, 0x01};
constexpr std::uint8_t kUpBits = 0xC0;

// How often the firmware thread looks at the mailbox at most (besides its pass at each
// release), unless told otherwise.
constexpr auto kIdlePoll = std::chrono::milliseconds(2);

// The PC works on the same window from another thread or process. A bitmap byte hands a slot
// over: the slot is read only after its request bit, and an answer is complete before its
// response bit shows.
std::uint8_t LoadMark(std::uint8_t& mark) {
    return std::atomic_ref<std::uint8_t>(mark).load(std::memory_order_acquire);
}
void StoreMark(std::uint8_t& mark, std::uint8_t value) {
    std::atomic_ref<std::uint8_t>(mark).store(value, std::memory_order_release);
}

const char* FunctionName(std::uint8_t fn) {
    switch (fn) {
        case FN_READ_WORDS:
            return "READ";
        case FN_WRITE_WORDS:
            return "WRITE";
        case FN_WRITE_BIT:
            return "WRITE BIT";
        default:
            return "FN?";
    }
}

}  // namespace

struct Board::Impl {
    enum class Phase { Reset, Handshake, Ready };

    // A request the firmware has taken from a slot and not yet answered.
    struct Taken {
        bool active = false;
        bool silent = false;  // the station never answers
        std::uint32_t takenTick = 0;
        std::uint32_t dueTick = 0;
        std::array<std::uint8_t, 2 + kRequestAreaSize + kDataAreaSize> snapshot{};
    };

    explicit Impl(Scenario s) : sc(std::move(s)), rng(sc.seed) {
        window = own.data();
        stationOf.fill(-1);
        for (const StationSpec& spec : sc.stations) {
            if (spec.number >= 0 && spec.number < 256 && stationOf[spec.number] < 0) {
                stationOf[spec.number] = static_cast<int>(stations.size());
                stations.emplace_back(spec);
            }
        }
    }

    std::uint32_t Now() { return clock ? clock->GetTickCount() : plat::GetTickCount(); }

    // Bank b as the firmware sees it: the shown bank lives in the window itself.
    std::uint8_t* Bank(int b) { return b == shownBank ? window : store[b].data(); }

    // Called with mu held and the firmware out of the window.
    void SwitchBank(int b) {
        if (b == shownBank) return;
        std::memcpy(store[shownBank].data(), window, kWindowSize);
        std::memcpy(window, store[b].data(), kWindowSize);
        shownBank = b;
    }
    // The firmware restarts its mailbox: no request or answer is pending after a reset.
    void ClearMailbox() {
        for (int b = 0; b < 2; ++b) std::memset(Bank(b) + kOfsBitmap, 0, 4);
    }

    void Serve(std::uint32_t now, std::vector<std::string>* lines);
    bool SilentNow(const StationSpec& spec, std::uint32_t now) const;
    std::string Describe(int slot, const Taken& t, const Outcome* out = nullptr);
    void Answer(int slot, Taken& t, std::uint32_t now, std::vector<std::string>* lines);

    Scenario sc;
    std::vector<Station> stations;
    std::array<int, 256> stationOf{};
    std::mt19937 rng;
    plat::IClock* clock = nullptr;

    std::array<std::uint8_t, kWindowSize> own{};
    std::array<std::array<std::uint8_t, kWindowSize>, 2> store{};
    std::uint8_t* window;

    // Port state, under mu.
    mutable std::mutex mu;
    Phase phase = Phase::Handshake;  // after power-up the firmware waits for the handshake
    int step = 0;
    std::uint8_t pcMask = 0;  // access the PC asked for
    bool granted = false;
    bool boardBusy = false;  // the firmware is in the window; no grant meanwhile
    int shownBank = 0;
    int pendingBank = -1;  // bank switch asked for while the firmware was busy
    bool clearPending = false;
    unsigned resetCount = 0;
    unsigned readyCount = 0;  // times the handshake completed

    // Firmware state, under pass.
    std::mutex pass;
    std::array<Taken, kSlotCount> taken{};
    unsigned seenResets = 0;
    unsigned seenReady = 0;
    std::uint32_t upTick = 0;  // first pass after the board last came up

    // Station memory, under memMu (generators, requests, test access).
    std::mutex memMu;

    std::mutex traceMu;
    std::function<void(const std::string&)> trace;
    std::atomic<bool> tracing{false};
    // Under pass: when a generator next changes a word, once they have run.
    bool generatorsRan = false;
    std::uint32_t generatorsDue = 0;
    // Under pass, as are the answers it records.
    std::function<void(const AppliedWrite&)> journal;
    std::uint64_t journalSeq = 0;

    std::mutex wakeMu;
    std::condition_variable wakeCv;
    bool stop = false;
    // Under wakeMu: the longest sleep between passes, the tick the thread sleeps to, and a pass
    // on another thread having found something due before it.
    std::chrono::milliseconds idleLimit = kIdlePoll;
    std::uint32_t wakeAt = 0;
    bool rewake = false;
    std::atomic<bool> running{false};  // the firmware thread runs (not a board driven pass by pass)
    std::thread thread;
};

void Board::Impl::Serve(std::uint32_t now, std::vector<std::string>* lines) {
    std::uint8_t* req = Bank(0);
    std::uint8_t* resp = Bank(1);
    for (int slot = 0; slot < kSlotCount; ++slot) {
        const std::uint32_t byte = kOfsBitmap + static_cast<std::uint32_t>(slot / 8);
        const std::uint8_t mask = static_cast<std::uint8_t>(0x80 >> (slot % 8));
        Taken& t = taken[static_cast<std::size_t>(slot)];
        char text[96];

        if (!(LoadMark(req[byte]) & mask)) {
            // Withdrawn: forget an unanswered request, take back an answer.
            if (t.active && lines) {
                std::string line = Describe(slot, t);
                std::snprintf(text, sizeof text, " -> withdrawn by the PC unanswered after %u ms",
                              now - t.takenTick);
                lines->push_back(line + text);
            }
            t.active = false;
            StoreMark(resp[byte], static_cast<std::uint8_t>(LoadMark(resp[byte]) & ~mask));
            continue;
        }
        if (LoadMark(resp[byte]) & mask) continue;  // answered; waits for the PC to withdraw

        std::array<std::uint8_t, 2 + kRequestAreaSize + kDataAreaSize> snap;
        std::memcpy(snap.data(), req + kOfsCommand + 2 * slot, 2);
        std::memcpy(snap.data() + 2, req + kOfsRequest + kStride * slot, kRequestAreaSize);
        std::memcpy(snap.data() + 2 + kRequestAreaSize, req + kOfsData + kStride * slot,
                    kDataAreaSize);
        // The PC withdrew and placed a new request between two looks at the slot.
        if (t.active && snap != t.snapshot) t.active = false;

        if (!t.active) {
            const int idx = stationOf[snap[1]];
            t.active = true;
            t.snapshot = snap;
            t.takenTick = now;
            t.silent = idx >= 0 && SilentNow(stations[static_cast<std::size_t>(idx)].Spec(), now);
            t.dueTick =
                now + (idx >= 0 ? stations[static_cast<std::size_t>(idx)].Spec().delayMs : 0);
        }
        if (!t.silent && static_cast<std::int32_t>(now - t.dueTick) >= 0) {
            Answer(slot, t, now, lines);
            StoreMark(resp[byte], static_cast<std::uint8_t>(LoadMark(resp[byte]) | mask));
            t.active = false;
        }
    }
}

// A request taken while the station is silent is lost, as on a broken line: it stays
// unanswered even if the station speaks again before the PC gives up on it.
bool Board::Impl::SilentNow(const StationSpec& spec, std::uint32_t now) const {
    if (spec.absent) return true;
    const std::uint32_t since = now - upTick;
    for (const auto& [from, to] : spec.silent)
        if (since >= from && since < to) return true;
    return false;
}

// Slot, function, station, items and, once answered, the data: one line of the trace.
std::string Board::Impl::Describe(int slot, const Taken& t, const Outcome* out) {
    const std::uint8_t fn = t.snapshot[0];
    const int stationNo = t.snapshot[1];
    const int idx = stationOf[static_cast<std::size_t>(stationNo)];
    const Station* st = idx >= 0 ? &stations[static_cast<std::size_t>(idx)] : nullptr;
    const std::uint8_t* request = t.snapshot.data() + 2;
    const std::uint8_t* written = request + kRequestAreaSize;

    char text[64];
    std::snprintf(text, sizeof text, "slot %02d %s station %d", slot, FunctionName(fn), stationNo);
    std::string line = text;
    if (st) line += " " + st->Spec().name;
    if (fn != FN_READ_WORDS && fn != FN_WRITE_WORDS && fn != FN_WRITE_BIT) {
        std::snprintf(text, sizeof text, " (0x%02X)", fn);
        return line + text;
    }
    const std::vector<Item> items = DecodeItems(fn, request, st ? st->Spec().cpuType : -1);
    for (std::size_t i = 0; i < items.size(); ++i)
        line += (i ? ", " : ": ") + DescribeItem(items[i]);
    if (out && out->error != ERR_NONE) return line;

    if (fn == FN_WRITE_BIT) {
        std::snprintf(text, sizeof text, " keep %04X set %04X", written[0] | written[2] << 8,
                      written[1] | written[3] << 8);
        return line + text;
    }
    // Read data once answered; write data always.
    const std::uint8_t* bytes = fn == FN_READ_WORDS ? (out ? out->data.data() : nullptr) : written;
    int words = 0;
    if (fn == FN_READ_WORDS)
        words = out ? out->dataBytes / 2 : 0;
    else if (!items.empty())
        words = std::min<int>(items[0].count, kDataAreaSize / 2);
    if (!bytes || words == 0) return line;
    line += " data";
    const int shown = std::min(words, 16);
    for (int i = 0; i < shown; ++i) {
        std::snprintf(text, sizeof text, " %04X", bytes[2 * i] | bytes[2 * i + 1] << 8);
        line += text;
    }
    if (shown < words) line += " ...";
    return line;
}

void Board::Impl::Answer(int slot, Taken& t, std::uint32_t now, std::vector<std::string>* lines) {
    const std::uint8_t fn = t.snapshot[0];
    const int stationNo = t.snapshot[1];
    const int idx = stationOf[static_cast<std::size_t>(stationNo)];
    std::uint8_t* resp = Bank(1);

    Outcome out;
    if (idx < 0) {
        out.error = ERR_NO_STATION;
    } else {
        Station& st = stations[static_cast<std::size_t>(idx)];
        std::lock_guard<std::mutex> lk(memMu);
        if (st.Spec().errorNumber)
            out.error = st.Spec().errorNumber;
        else
            out = st.Execute(fn, t.snapshot.data() + 2, t.snapshot.data() + 2 + kRequestAreaSize);
    }
    // Recorded before the answer shows, so a PC that saw the answer finds the write recorded.
    if (journal && out.error == ERR_NONE && (fn == FN_WRITE_WORDS || fn == FN_WRITE_BIT)) {
        const Item& item = out.items.front();
        AppliedWrite w;
        w.seq = ++journalSeq;
        w.monotonic =
            std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
                .count();
        w.station = stationNo;
        w.area = item.area;
        w.device = item.device;
        w.word = item.word;
        w.count = item.count;
        w.bit = fn == FN_WRITE_BIT;
        w.keep = out.keep;
        w.set = out.set;
        const std::uint8_t* data = t.snapshot.data() + 2 + kRequestAreaSize;
        for (int i = 0; !w.bit && i < item.count; ++i)
            w.words.push_back(static_cast<std::uint16_t>(data[2 * i] | data[2 * i + 1] << 8));
        journal(w);
    }

    // Error number in the high byte; the low byte echoes the function code.
    resp[kOfsCommand + 2 * slot] = fn;
    resp[kOfsCommand + 2 * slot + 1] = out.error;
    std::uint8_t* data = resp + kOfsData + kStride * static_cast<std::uint32_t>(slot);
    if (out.error == ERR_NONE && fn == FN_READ_WORDS)
        std::memcpy(data, out.data.data(), kDataAreaSize);
    else
        std::memset(data, 0, kDataAreaSize);

    if (!lines) return;
    std::string line = Describe(slot, t, &out);
    char text[96];
    std::snprintf(text, sizeof text, " -> error %02X (%s), %u ms", out.error, ErrorName(out.error),
                  now - t.takenTick);
    line += text;
    lines->push_back(std::move(line));
}

// --- Board
// ----------------------------------------------------------------------------------------

Board::Board(Scenario scenario) : d_(std::make_unique<Impl>(std::move(scenario))) {}

Board::~Board() { Stop(); }

void Board::UseWindow(std::uint8_t* memory) {
    std::lock_guard<std::mutex> lk(d_->mu);
    std::uint8_t* target = memory ? memory : d_->own.data();
    if (target != d_->window) std::memcpy(target, d_->window, kWindowSize);
    d_->window = target;
}

std::uint8_t* Board::Window() {
    std::lock_guard<std::mutex> lk(d_->mu);
    return d_->window;
}

std::uint16_t Board::PortBase() const { return d_->sc.portBase; }
std::uint32_t Board::WindowPhysical() const { return d_->sc.windowPhysical; }
bool Board::MappingRefused() const { return d_->sc.mappingRefused; }

bool Board::RespondsAt(std::uint16_t port) const {
    return !d_->sc.noBoard && port >= d_->sc.portBase && port <= d_->sc.portBase + kPortAux;
}

bool Board::Ready() const {
    std::lock_guard<std::mutex> lk(d_->mu);
    return d_->phase == Impl::Phase::Ready;
}

std::uint8_t Board::ReadPort(std::uint16_t port) {
    if (!RespondsAt(port)) return 0xFF;  // an empty ISA bus floats high
    Impl& d = *d_;
    std::lock_guard<std::mutex> lk(d.mu);
    switch (port - d.sc.portBase) {
        case kPortControl:
            if (d.phase != Impl::Phase::Ready) return kUpBits | 0x03;
            if (d.pcMask && !d.granted && !d.boardBusy && !d.sc.lockNeverGranted) d.granted = true;
            // A mask bit reads 1 while its access is not the PC's.
            return static_cast<std::uint8_t>(0x03 & ~(d.granted ? d.pcMask : 0));
        case kPortHandshake:
            switch (d.phase) {
                case Impl::Phase::Reset:
                    return 0x00;
                case Impl::Phase::Handshake:
                    return kShow[d.step];
                case Impl::Phase::Ready:
                    return kUpBits | kShow[6];
            }
            return 0x00;
        default:
            return 0xFF;  // write-only registers
    }
}

void Board::WritePort(std::uint16_t port, std::uint8_t value) {
    if (!RespondsAt(port)) return;
    Impl& d = *d_;
    std::string event;
    bool release = false;
    {
        std::lock_guard<std::mutex> lk(d.mu);
        switch (port - d.sc.portBase) {
            case kPortControl:
                if ((value & kUpBits) != kUpBits) {
                    // Reset asserted: the firmware drops every request and the PC's access.
                    if (d.phase != Impl::Phase::Reset) event = "board reset";
                    d.phase = Impl::Phase::Reset;
                    d.pcMask = 0;
                    d.granted = false;
                    ++d.resetCount;
                    if (d.boardBusy)
                        d.clearPending = true;
                    else
                        d.ClearMailbox();
                } else if (d.phase == Impl::Phase::Ready) {
                    d.pcMask = value & 0x03;
                    if (!d.pcMask) {
                        d.granted = false;
                        release = true;  // the PC may have left requests behind
                    }
                }
                break;
            case kPortHandshake:
                if (d.phase != Impl::Phase::Handshake) break;
                if (value == kExpect[d.step]) {
                    if (++d.step == 7) {
                        d.phase = Impl::Phase::Ready;
                        ++d.readyCount;
                        event = "board ready";
                    }
                } else {
                    d.step = 0;  // a wrong answer starts the sequence over
                }
                break;
            case kPortBank:
                if (d.boardBusy)
                    d.pendingBank = value & 1;
                else
                    d.SwitchBank(value & 1);
                break;
            case kPortAux:
                // The last register written in a reset: the firmware restarts and waits for the
                // handshake.
                if (d.phase == Impl::Phase::Reset) {
                    d.phase = Impl::Phase::Handshake;
                    d.step = 0;
                }
                break;
        }
    }
    // The firmware's processor watches the window: the PC giving it back starts a pass at once,
    // so that a request placed and released is taken (and, from a station that answers at once,
    // answered) before the PC looks again, whatever the firmware thread's scheduling. A board
    // driven pass by pass waits for its next pass.
    if (release && d.running.load(std::memory_order_acquire)) ProcessOnce();
    if (!event.empty()) {
        std::lock_guard<std::mutex> lk(d.traceMu);
        if (d.trace) d.trace(event);
    }
}

bool Board::ProcessOnce() {
    Impl& d = *d_;
    std::lock_guard<std::mutex> passLock(d.pass);
    const std::uint32_t now = d.Now();
    // The generators run when one is due; a pass at every release need not look at each.
    if (!d.generatorsRan || static_cast<std::int32_t>(now - d.generatorsDue) >= 0) {
        d.generatorsRan = true;
        std::lock_guard<std::mutex> lk(d.memMu);
        std::uint32_t in = UINT32_MAX;
        for (Station& st : d.stations) {
            st.RunGenerators(now, d.rng);
            in = std::min(in, st.NextUpdateIn(now));
        }
        d.generatorsDue = now + std::min<std::uint32_t>(in, 1000);
    }
    {
        std::lock_guard<std::mutex> lk(d.mu);
        if (d.phase != Impl::Phase::Ready) return true;
        // The PC holds the window. A PC that only asks gets it between two passes; waiting
        // for it here would let a client that asks and never looks stall the line.
        if (d.granted) return false;
        d.boardBusy = true;
        if (d.seenResets != d.resetCount) {
            d.seenResets = d.resetCount;
            for (auto& t : d.taken) t.active = false;
        }
        if (d.seenReady != d.readyCount) {
            d.seenReady = d.readyCount;
            d.upTick = now;
        }
    }
    // The decoded lines are made only for a trace.
    std::vector<std::string> lines;
    d.Serve(now, d.tracing.load(std::memory_order_relaxed) ? &lines : nullptr);
    // What falls due next: a generator's change or a delayed answer.
    const auto genLeft = static_cast<std::int32_t>(d.generatorsDue - now);
    std::uint32_t dueIn = genLeft > 0 ? static_cast<std::uint32_t>(genLeft) : 0u;
    for (const Impl::Taken& t : d.taken) {
        if (!t.active || t.silent) continue;
        const auto left = static_cast<std::int32_t>(t.dueTick - now);
        dueIn = std::min(dueIn, left > 0 ? static_cast<std::uint32_t>(left) : 0u);
    }
    {
        std::lock_guard<std::mutex> lk(d.wakeMu);
        if (dueIn < static_cast<std::uint32_t>(d.idleLimit.count()) &&
            static_cast<std::int32_t>(now + dueIn - d.wakeAt) < 0) {
            d.wakeAt = now + dueIn;
            d.rewake = true;
            d.wakeCv.notify_one();
        }
    }
    {
        std::lock_guard<std::mutex> lk(d.mu);
        d.boardBusy = false;
        if (d.clearPending) {
            d.clearPending = false;
            d.ClearMailbox();
        }
        if (d.pendingBank >= 0) {
            d.SwitchBank(d.pendingBank);
            d.pendingBank = -1;
        }
    }
    if (!lines.empty()) {
        std::lock_guard<std::mutex> lk(d.traceMu);
        if (d.trace)
            for (const std::string& line : lines) d.trace(line);
    }
    return true;
}

void Board::Start() {
    Impl& d = *d_;
    if (d.thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lk(d.wakeMu);
        d.stop = false;
    }
    d.running.store(true, std::memory_order_release);
    d.thread = std::thread([this, &d] {
        std::unique_lock<std::mutex> lk(d.wakeMu);
        while (!d.stop) {
            // Until the pass says otherwise, the next one is the idle limit away.
            d.wakeAt = d.Now() + static_cast<std::uint32_t>(d.idleLimit.count());
            lk.unlock();
            const bool looked = ProcessOnce() && Ready();
            lk.lock();
            // A board not ready, or whose window the PC holds, is looked at again soon.
            const std::uint32_t now = d.Now();
            auto sleep = looked && d.wakeAt - now <= static_cast<std::uint32_t>(d.idleLimit.count())
                             ? std::chrono::milliseconds(d.wakeAt - now)
                             : std::min(d.idleLimit, kIdlePoll);
            d.rewake = false;
            d.wakeCv.wait_for(lk, sleep, [&] { return d.stop || d.rewake; });
        }
    });
}

void Board::SetIdleLimit(std::chrono::milliseconds limit) {
    std::lock_guard<std::mutex> lk(d_->wakeMu);
    d_->idleLimit = std::max(limit, std::chrono::milliseconds(1));
}

void Board::Stop() {
    Impl& d = *d_;
    if (!d.thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lk(d.wakeMu);
        d.stop = true;
        d.wakeCv.notify_one();
    }
    d.thread.join();
    d.running.store(false, std::memory_order_release);
}

void Board::SetTrace(std::function<void(const std::string& line)> trace) {
    std::lock_guard<std::mutex> lk(d_->traceMu);
    d_->tracing.store(static_cast<bool>(trace));
    d_->trace = std::move(trace);
}

void Board::SetJournal(std::function<void(const AppliedWrite& write)> journal) {
    std::lock_guard<std::mutex> lk(d_->pass);
    d_->journal = std::move(journal);
}

std::string JournalLine(const AppliedWrite& w) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "{\"seq\":%llu,\"t\":%.6f,\"station\":%d,\"area\":%u,\"device\":\"%c\","
                  "\"word\":%u,\"count\":%u",
                  static_cast<unsigned long long>(w.seq), w.monotonic, w.station, w.area,
                  w.device >= 0 && w.device < 9 ? "PMLKFTCDS"[w.device] : '?', w.word, w.count);
    std::string line = text;
    if (w.bit) {
        std::snprintf(text, sizeof text, ",\"keep\":%u,\"set\":%u", w.keep, w.set);
        line += text;
        // The bits the write may change; one of them is the usual bit write.
        const unsigned touched = (~w.keep | w.set) & 0xFFFFu;
        if (touched && !(touched & (touched - 1))) {
            const int bit = std::countr_zero(touched);
            std::snprintf(text, sizeof text, ",\"bit\":%d,\"value\":%u", bit, (w.set >> bit) & 1u);
            line += text;
        }
    } else {
        line += ",\"words\":[";
        for (std::size_t i = 0; i < w.words.size(); ++i)
            line += (i ? "," : "") + std::to_string(w.words[i]);
        line += "]";
    }
    return line + "}";
}

void Board::SetClock(plat::IClock* clock) {
    std::lock_guard<std::mutex> lk(d_->pass);
    d_->clock = clock;
    d_->generatorsRan = false;
}

bool Board::PeekWord(int stationNo, int areaCode, int word, std::uint16_t& out) {
    Impl& d = *d_;
    if (stationNo < 0 || stationNo > 255 || d.stationOf[stationNo] < 0) return false;
    Station& st = d.stations[static_cast<std::size_t>(d.stationOf[stationNo])];
    std::lock_guard<std::mutex> lk(d.memMu);
    return st.Peek(SimDeviceOfArea(st.Spec().cpuType, areaCode), word, out);
}

bool Board::PokeWord(int stationNo, int areaCode, int word, std::uint16_t value) {
    Impl& d = *d_;
    if (stationNo < 0 || stationNo > 255 || d.stationOf[stationNo] < 0) return false;
    Station& st = d.stations[static_cast<std::size_t>(d.stationOf[stationNo])];
    std::lock_guard<std::mutex> lk(d.memMu);
    return st.Poke(SimDeviceOfArea(st.Spec().cpuType, areaCode), word, value);
}

}  // namespace sim
