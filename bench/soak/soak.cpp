// Soak host: the real module through DrvFuncTable on the real tvioctrld --simulate, writing
// random values of every data type every cycle while the scenario silences a station now and
// then, one station answers with errors, one answers slowly, one never answers, and the service
// itself is killed and started again under the running host. Prints a table of checks at the
// end; exit status 1 if any failed.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dezudur/output.h"
#include "framework/codepage.h"
#include "harness.h"
#include "tarvodbm/tagdb.h"
#include "tarvosub/tagval.h"

namespace {

using SteadyClock = std::chrono::steady_clock;
const SteadyClock::time_point kEpoch = SteadyClock::now();

double Now() { return std::chrono::duration<double>(SteadyClock::now() - kEpoch).count(); }
void SleepS(double s) {
    if (s > 0) std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

constexpr double kCycle = 0.1;       // the host's write cycle and the engine's poll cycle
constexpr double kTimeOut = 5.0;     // the board's request time-out
constexpr double kSettle = 1.5;      // after the last write is placed, until it reads back
constexpr double kReadBack = 5.0;    // ... at the most
constexpr double kLostWithin = 8.0;  // time-out, two cycles and slack on a busy machine
constexpr int kWritesPerCycle = 4;

struct Options {
    double seconds = 3600;
    double restartEvery = 300;   // the service is killed this long after each (re)start
    bool resourceChecks = true;  // off under sanitizers: their own memory and time dominate
    std::string config, scenario;
};

// --- the tags: every data type, inside the block and outside it -------------------------------

enum Type : int {
    SINT8,
    SINT16,
    SINT32,
    UINT8,
    UINT16,
    UINT32,
    SBCD8,
    SBCD16,
    SBCD32,
    BCD8,
    BCD16,
    BCD32,
    FLOAT,
    BIT,
    STRING
};

struct Layout {
    const char* address;
    int type;
    int size;
    bool written;
};

const Layout kLayout[] = {
    {"D0000", SINT8, 1, true},
    {"D0001", SINT16, 2, true},
    {"D0002", SINT32, 4, true},
    {"D0004", UINT8, 1, true},
    {"D0005", UINT16, 2, true},
    {"D0006", UINT32, 4, true},
    {"D0008", SBCD8, 1, true},
    {"D0009", SBCD16, 2, true},
    {"D0010", SBCD32, 4, true},
    {"D0012", BCD8, 1, true},
    {"D0013", BCD16, 2, true},
    {"D0014", BCD32, 4, true},
    {"D0016", FLOAT, 4, true},
    {"D0018.5", BIT, 1, true},
    {"D0020", STRING, 8, true},
    {"D0030", UINT16, 2, false},  // 4321 in the scenario, never written
    // Outside the block: group frames and frames of their own.
    {"D0100", UINT16, 2, true},
    {"D0101", SINT16, 2, true},
    {"D0102", FLOAT, 4, true},
    {"M0021", BIT, 1, true},
    {"D0110", STRING, 6, true},
};
constexpr double kFixedValue = 4321;

struct Station {
    std::string name;
    bool readable = true;                           // answers reads: not absent, no error number
    std::string kind;                               // for the table
    std::vector<std::pair<double, double>> silent;  // board time, seconds
    // This epoch's host-side write accounting.
    long accepted = 0, refused = 0, acceptedSinceCut = 0;
    std::array<long, 128> history{};  // `accepted` at the end of each of the last 128 cycles
    double lostAt = -1;               // set by message 10 while lost
};

struct Tag {
    int station;
    const Layout* def;
    std::string name;
    std::int32_t id = 0, handle = -1;
    bool known = false;  // the PLC holds `expect` (a write of it was answered)
    double expect = 0;
    std::string expectText;
    std::string recent;  // the last few values written, for a report of a difference
};

std::string Fmt(const char* f, double a = 0, double b = 0, double c = 0, double d = 0) {
    char buf[512];
    std::snprintf(buf, sizeof buf, f, a, b, c, d);
    return buf;
}

std::mt19937_64 rng(20261209);

void RandomValue(const Tag& t, CTagVal& v, double& num, std::string& text) {
    auto range = [](long long lo, long long hi) {
        return static_cast<double>(std::uniform_int_distribution<long long>(lo, hi)(rng));
    };
    switch (t.def->type) {
        case SINT8:
            num = range(-128, 127);
            break;
        case SINT16:
            num = range(-32768, 32767);
            break;
        case SINT32:
            num = range(-2147483648LL, 2147483647LL);
            break;
        case UINT8:
            num = range(0, 255);
            break;
        case UINT16:
            num = range(0, 65535);
            break;
        case UINT32:
            num = range(0, 4294967295LL);
            break;
        case SBCD8:
            num = range(-79, 79);
            break;
        case SBCD16:
            num = range(-7999, 7999);
            break;
        case SBCD32:
            num = range(-79999999, 79999999);
            break;
        case BCD8:
            num = range(0, 99);
            break;
        case BCD16:
            num = range(0, 9999);
            break;
        case BCD32:
            num = range(0, 99999999);
            break;
        case FLOAT:
            num = range(-8000000, 8000000) / 8.0;
            break;  // exact in a float
        case BIT:
            num = range(0, 1);
            break;
        default: {
            static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
            text.clear();
            for (int i = 0; i < t.def->size; ++i) text += kChars[static_cast<int>(range(0, 35))];
            v.SetVal(text.c_str());
            return;
        }
    }
    v.SetVal(num);
}

// --- messages as the host receives them --------------------------------------------------------

struct Event {
    double at;
    int kind;     // 10 lost, 11 recovered, 12 no I/O driver
    int station;  // -1 for none
};

class Messages {
public:
    void Install(const std::vector<Station>& stations) {
        for (const auto& s : stations) {
            lost_.push_back(Utf8ToCp949("스테이션[" + s.name + "]과 통신할 수 없습니다."));
            recovered_.push_back(
                Utf8ToCp949("스테이션[" + s.name + "]과의 통신이 정상적으로 복구되었습니다."));
        }
        noDriver_ = Utf8ToCp949("TVIOCTRL 드라이버를 Load 할 수 없습니다.");
        events_.reserve(100000);
        DezSetSink([this](std::int32_t, std::int32_t, const std::string& raw) { Take(raw); });
    }
    ~Messages() { DezSetSink(nullptr); }
    // Events from index `from` on.
    std::vector<Event> Since(std::size_t from) const {
        std::lock_guard<std::mutex> lock(mu_);
        return from < events_.size() ? std::vector<Event>(events_.begin() + from, events_.end())
                                     : std::vector<Event>{};
    }
    long Total() const {
        std::lock_guard<std::mutex> lock(mu_);
        return total_;
    }

private:
    void Take(const std::string& raw) {
        Event e{Now(), 0, -1};
        for (std::size_t i = 0; i < lost_.size() && !e.kind; ++i) {
            if (raw.find(lost_[i]) != std::string::npos) e = {e.at, 10, static_cast<int>(i)};
            if (raw.find(recovered_[i]) != std::string::npos) e = {e.at, 11, static_cast<int>(i)};
        }
        if (raw.find(noDriver_) != std::string::npos) e.kind = 12;
        if (verbose_) std::fprintf(stderr, "%8.2f %s\n", e.at, Cp949ToUtf8(raw).c_str());
        std::lock_guard<std::mutex> lock(mu_);
        ++total_;
        if (e.kind && events_.size() < events_.capacity()) events_.push_back(e);
    }
    mutable std::mutex mu_;
    std::vector<std::string> lost_, recovered_;
    std::string noDriver_;
    std::vector<Event> events_;
    long total_ = 0;
    const bool verbose_ = std::getenv("QX_SOAK_VERBOSE") != nullptr;
};

// --- the service, killed without warning -------------------------------------------------------

class Service {
public:
    bool Start(const std::string& dir, const std::string& scenario, std::string& error) {
        const std::string ready = dir + "/tvioctrld.ready";
        std::filesystem::remove(ready);
        std::vector<std::string> argv = {
            e2e::BinDir() + "/tvioctrld", "--simulate",   scenario, "--socket",
            dir + "/TVIOCTRL.sock",       "--ready-file", ready};
        if (std::getenv("QX_SOAK_TRACE")) argv.push_back("--trace");
        pid_ = e2e::StartProgram(argv, dir + "/tvioctrld.out",
                                 dir + "/tvioctrld.log." + std::to_string(++runs_));
        if (pid_ < 0) {
            error = "cannot start tvioctrld";
            return false;
        }
        if (!e2e::WaitFor([&] { return std::filesystem::exists(ready); }, 15000)) {
            error = "tvioctrld did not get ready";
            Kill();
            return false;
        }
        return true;
    }
    void Kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        e2e::WaitProgram(pid_, 10000);
        pid_ = -1;
    }
    void Stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        e2e::WaitProgram(pid_, 10000);
        pid_ = -1;
    }
    ~Service() { Stop(); }

private:
    pid_t pid_ = -1;
    int runs_ = 0;
};

// --- the host process's own resources ----------------------------------------------------------

struct Sample {
    double at;
    long rssKb, fds, threads;
    double cpuS;  // user + system
};

Sample TakeSample() {
    Sample s{Now(), 0, 0, 0, 0};
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) s.rssKb = std::atol(line.c_str() + 6);
        if (line.rfind("Threads:", 0) == 0) s.threads = std::atol(line.c_str() + 8);
    }
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++s.fds;
        ::closedir(d);
        --s.fds;  // the directory's own descriptor
    }
    std::ifstream stat("/proc/self/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command's closing parenthesis: state is field 3, utime 14, stime 15.
    std::size_t p = all.rfind(')');
    if (p != std::string::npos) {
        std::vector<std::string> f;
        std::string cur;
        for (char c : all.substr(p + 2)) {
            if (c == ' ') {
                f.push_back(cur);
                cur.clear();
            } else {
                cur += c;
            }
        }
        if (f.size() > 12)
            s.cpuS = (std::atof(f[11].c_str()) + std::atof(f[12].c_str())) /
                     static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    return s;
}

// --- the soak ----------------------------------------------------------------------------------

struct Row {
    std::string check, result;
    bool ok;
};

class Soak {
public:
    explicit Soak(const Options& o) : opt_(o) {}
    int Run();

private:
    bool Boot(std::string& error);
    bool StartEngine(bool expectFailure);
    void WriteCycle();
    void WriteTag(Tag& t);
    bool Doubtful(const Station& s) const;
    bool Quiet(double timeout);
    void CheckValues(const char* why);
    // Resources, at every check and every 10 s between.
    void SampleResources();
    void EndEpoch(bool serviceKilled);
    void Outage();
    int Report();
    void Watch();
    long Placed(int station) const {
        return module_.Statistics(index_, stations_[station].name.c_str()).writes;
    }
    void Add(const std::string& check, bool ok, const std::string& result) {
        rows_.push_back({check, result, ok});
    }

    Options opt_;
    const bool verbose_ = std::getenv("QX_SOAK_VERBOSE") != nullptr;
    e2e::TempDir dir_;
    e2e::Module module_;
    Service service_;
    Messages messages_;
    std::vector<Station> stations_;
    std::vector<Tag> tags_;
    std::int32_t index_ = -1;
    double boardT0_ = 0;
    std::size_t seenEvents_ = 0;
    std::vector<Row> rows_;
    std::vector<Sample> samples_;
    // Totals over the run.
    long writes_ = 0, refused_ = 0, placed_ = 0, failed_ = 0, discarded_ = 0, checks_ = 0,
         compared_ = 0, mismatches_ = 0;
    std::string firstMismatch_;
    int epochs_ = 0, cleanEpochEnds_ = 0, accountingBad_ = 0;
    std::string accountingNote_;
    // Outages of stations: silence end (absolute), lost seen, recovered latency, values equal.
    struct Silence {
        std::string station;
        double from, to, lostAt = -1, recoveredAt = -1;
        bool valuesEqual = false, checkPlanned = false;
    };
    std::vector<Silence> silences_;
    std::vector<double> stopSeconds_, toldAfterKill_, restartSeconds_;
    double noDriverAt_ = -1;
    int noDriverMessages_ = 0, failedStartsWhileAway_ = 0, restarts_ = 0;
    std::vector<double> cpuPerCycle_;
    long cycles_ = 0;
    double warmUpAt_ = 0;
};

bool Soak::Boot(std::string& error) {
    std::ifstream in(opt_.scenario);
    nlohmann::json sc = nlohmann::json::parse(in, nullptr, false);
    if (sc.is_discarded() || !sc.contains("stations")) {
        error = "cannot read " + opt_.scenario;
        return false;
    }
    for (const auto& j : sc["stations"]) {
        Station s;
        s.name = j.value("name", "");
        s.kind = "healthy";
        if (j.value("absent", false)) s.readable = false, s.kind = "absent from the start";
        if (j.value("errorNumber", 0) != 0) s.readable = false, s.kind = "answers with errors";
        if (j.value("delayMs", 0) != 0)
            s.kind = "answers after " + std::to_string(j.value("delayMs", 0)) + " ms";
        if (j.contains("silent")) {
            for (const auto& p : j["silent"])
                s.silent.push_back({p.value("fromMs", 0) / 1000.0, p.value("toMs", 0) / 1000.0});
            s.kind = "silent " + std::to_string(s.silent.size()) + " times";
        }
        stations_.push_back(s);
    }
    messages_.Install(stations_);
    for (std::size_t s = 0; s < stations_.size(); ++s)
        for (const auto& def : kLayout) {
            Tag t;
            t.station = static_cast<int>(s);
            t.def = &def;
            t.name = stations_[s].name + "." + def.address;
            t.id = CTagDatabase::Instance().AddTag(t.name);
            tags_.push_back(t);
        }
    ::setenv("QX_DEVICE_DIR", dir_.Path().c_str(), 1);
    std::ifstream cfg(opt_.config);
    std::string json((std::istreambuf_iterator<char>(cfg)), std::istreambuf_iterator<char>());
    if (!e2e::MakeConfig(json, dir_ / "soak.cfg", error)) return false;
    if (!module_.Load(error)) return false;
    if (!service_.Start(dir_.Path(), opt_.scenario, error)) return false;
    index_ = module_.Open(dir_ / "soak.cfg");
    if (index_ < 0) {
        error = "DrvOpen failed";
        return false;
    }
    return StartEngine(false);
}

// DrvStart, the tags registered, activation: what a host does after the service came back.
bool Soak::StartEngine(bool expectFailure) {
    const std::int32_t r = module_.Start(index_);
    if (r != 0) return expectFailure ? false : (std::fprintf(stderr, "DrvStart: %d\n", r), false);
    boardT0_ = Now();  // the board's silences count from its detection, in DrvStart
    for (auto& t : tags_) {
        t.handle = module_.Register(index_, "DLU." + stations_[t.station].name, t.def->address,
                                    t.def->type, t.def->size, t.id);
        t.known = !t.def->written;
        t.expect = kFixedValue;
    }
    module_.EndRegistration(index_);
    module_.SetActive(index_, nullptr, 1);
    for (auto& s : stations_) s.accepted = s.refused = s.acceptedSinceCut = 0, s.lostAt = -1;
    ++epochs_;
    return true;
}

// A write a silent station takes is never answered: its value is unknown until written again
// after the station is back. A write may reach the board up to two time-outs after it was made
// (its batch waits for the one before, which may wait for a time-out).
bool Soak::Doubtful(const Station& s) const {
    const double bt = Now() - boardT0_;
    bool doubtful = s.lostAt >= 0;
    for (auto& p : s.silent)
        doubtful = doubtful || (bt >= p.first - 2 * kTimeOut - 1 && bt <= p.second + kTimeOut + 1);
    return doubtful;
}

void Soak::WriteTag(Tag& t) {
    if (t.handle < 0 || !t.def->written) return;
    CTagVal v;
    double num = 0;
    std::string text;
    RandomValue(t, v, num, text);
    Station& s = stations_[t.station];
    const std::int32_t r = module_.Write(index_, t.handle, v);
    ++writes_;
    if (r != 0) {
        ++s.refused;
        ++refused_;
        t.known = false;
        return;
    }
    ++s.accepted;
    ++s.acceptedSinceCut;
    t.known = !Doubtful(s);
    if (verbose_) {
        t.recent = Fmt("%.2f:", Now()) + (t.def->type == STRING ? text : Fmt("%.0f", num)) + " " +
                   t.recent;
        if (t.recent.size() > 120) t.recent.resize(120);
    }
    t.expect = num;
    t.expectText = text;
}

void Soak::WriteCycle() {
    // Tags whose value is unknown on a station that answers go first; then random ones.
    int n = 0;
    for (auto& t : tags_) {
        const Station& s = stations_[t.station];
        if (n < kWritesPerCycle && !t.known && s.readable && !Doubtful(s) && t.def->written) {
            WriteTag(t);
            ++n;
        }
    }
    std::uniform_int_distribution<std::size_t> pick(0, tags_.size() - 1);
    for (int tries = 0; n < kWritesPerCycle && tries < 50; ++tries) {
        Tag& t = tags_[pick(rng)];
        if (!t.def->written) continue;
        WriteTag(t);
        ++n;
    }
    ++cycles_;
    for (auto& s : stations_) s.history[cycles_ % s.history.size()] = s.accepted;
}

// Follows the messages: stations lost and recovered.
void Soak::Watch() {
    for (const Event& e : messages_.Since(seenEvents_)) {
        ++seenEvents_;
        if (e.kind == 12) ++noDriverMessages_, noDriverAt_ = e.at;
        if (e.station < 0) continue;
        Station& s = stations_[e.station];
        if (e.kind == 10) s.lostAt = e.at;
        if (e.kind == 11) {
            s.lostAt = -1;
            for (auto& sl : silences_)
                if (sl.station == s.name && sl.recoveredAt < 0 && sl.lostAt >= 0 &&
                    e.at > sl.to - 1)
                    sl.recoveredAt = e.at;
        }
        if (e.kind == 10)
            for (auto& sl : silences_)
                if (sl.station == s.name && sl.lostAt < 0 && e.at >= sl.from &&
                    e.at <= sl.to + kLostWithin)
                    sl.lostAt = e.at;
    }
}

// No writes until every accepted one has gone to the board, then until they read back.
bool Soak::Quiet(double timeout) {
    const double end = Now() + timeout;
    for (;;) {
        bool placed = true;
        for (std::size_t i = 0; i < stations_.size(); ++i)
            placed = placed && Placed(static_cast<int>(i)) == stations_[i].accepted;
        if (placed) break;
        if (Now() > end) return false;
        SleepS(kCycle);
        Watch();
    }
    SleepS(kSettle);
    Watch();
    return true;
}

void Soak::CheckValues(const char* why) {
    const bool quiet = Quiet(6 * kTimeOut);
    ++checks_;
    if (!quiet) {
        ++mismatches_;
        if (firstMismatch_.empty())
            firstMismatch_ = std::string(why) + ": writes not placed in time";
        return;
    }
    const double bt = Now() - boardT0_;
    std::vector<bool> upNow(stations_.size());
    for (std::size_t i = 0; i < stations_.size(); ++i) {
        const Station& s = stations_[i];
        bool up = s.readable && s.lostAt < 0;
        for (auto& p : s.silent) up = up && !(bt >= p.first - 1 && bt <= p.second + kTimeOut + 1);
        upNow[i] = up;
    }
    auto equalNow = [](const Tag& t) {
        CTagVal v;
        CTagDatabase::Instance().GetValue(t.id, v);
        return t.def->type == STRING ? (v.IsSet() && v.IsText() && v.Text() == t.expectText)
                                     : (v.IsSet() && !v.IsText() && v.GetVal() == t.expect);
    };
    // A write answered late by a slow station, on a loaded machine, may read back a cycle or two
    // after the settle time: a value is looked at again until it is equal or kReadBack passed
    // since the writes were placed. A write that reached the PLC out of order stays different.
    for (double until = Now() + kReadBack - kSettle;;) {
        bool all = true;
        for (auto& t : tags_) all = all && (!upNow[t.station] || !t.known || equalNow(t));
        if (all || Now() >= until) break;
        SleepS(kCycle);
        Watch();
    }
    std::vector<bool> stationEqual(stations_.size(), true);
    for (auto& t : tags_) {
        if (!upNow[t.station] || !t.known) continue;
        ++compared_;
        if (!equalNow(t)) {
            CTagVal v;
            CTagDatabase::Instance().GetValue(t.id, v);
            ++mismatches_;
            if (verbose_)
                std::fprintf(stderr, "%8.2f %s differs: reads %s, written %s\n", Now(),
                             t.name.c_str(), v.Describe().c_str(), t.recent.c_str());
            stationEqual[t.station] = false;
            if (firstMismatch_.empty())
                firstMismatch_ = std::string(why) + ": " + t.name + " reads " + v.Describe() +
                                 ", last written " +
                                 (t.def->type == STRING ? t.expectText : std::to_string(t.expect));
        }
    }
    for (auto& sl : silences_) {
        std::size_t i = 0;
        while (i < stations_.size() && stations_[i].name != sl.station) ++i;
        if (sl.recoveredAt > 0 && !sl.valuesEqual && upNow[i] && stationEqual[i])
            sl.valuesEqual = true;
    }
    // Resources and CPU are sampled at these points, when the engine runs and writes.
    SampleResources();
}

void Soak::SampleResources() {
    samples_.push_back(TakeSample());
    if (verbose_)
        std::fprintf(stderr, "%8.2f sample: RSS %ld kB, %ld descriptors, %ld threads, CPU %.3f s\n",
                     Now(), samples_.back().rssKb, samples_.back().fds, samples_.back().threads,
                     samples_.back().cpuS);
}

// The end of an engine's life: DrvStop, with the accounting of its writes.
void Soak::EndEpoch(bool serviceKilled) {
    for (std::size_t i = 0; i < stations_.size(); ++i) {
        Station& s = stations_[i];
        e2e::Module::Stats st = module_.Statistics(index_, s.name.c_str());
        placed_ += st.writes;
        failed_ += st.writeFailures;
        const long unplaced = s.accepted - st.writes;
        discarded_ += unplaced;
        bool ok = unplaced >= 0 && st.writeFailures <= st.writes;
        // Nothing but what the board could not take since the service went away (and what a
        // time-out before it held back) may be left unplaced; a clean end leaves nothing.
        if (!serviceKilled) ok = ok && unplaced == 0;
        if (serviceKilled && unplaced > s.acceptedSinceCut) ok = false;
        if (!s.readable && !serviceKilled) ok = ok && st.writeFailures == st.writes;
        if (s.readable && s.silent.empty() && !serviceKilled) ok = ok && st.writeFailures == 0;
        if (!ok) {
            ++accountingBad_;
            char buf[200];
            std::snprintf(buf, sizeof buf, "epoch %d %s: accepted %ld placed %d failed %d; ",
                          epochs_, s.name.c_str(), s.accepted, st.writes, st.writeFailures);
            accountingNote_ += buf;
        }
    }
    if (!serviceKilled) ++cleanEpochEnds_;
    const double t = Now();
    module_.Stop(index_);
    stopSeconds_.push_back(Now() - t);
}

// The service is killed under the running host; the host hears of it, stops, fails to start
// while it is away, and starts again once it is back.
void Soak::Outage() {
    const double killedAt = Now();
    // Writes accepted from two time-outs before the kill on (12.7 s) may still be unplaced: the
    // pending batch waits for the active one, which may wait on a time-out, and a write waits in
    // its batch for the earlier writes of the same tag.
    for (auto& s : stations_)
        s.acceptedSinceCut = s.accepted - s.history[(cycles_ + 1) % s.history.size()];
    service_.Kill();
    // Writing goes on until the host is told (message 12), and a little beyond.
    double told = -1;
    while (Now() - killedAt < 2 * kLostWithin) {
        WriteCycle();
        SleepS(kCycle);
        Watch();
        if (told < 0 && noDriverAt_ >= killedAt) told = noDriverAt_;
        if (told >= 0 && Now() - told > 1) break;
    }
    toldAfterKill_.push_back(told >= 0 ? told - killedAt : -1);
    EndEpoch(true);
    // A start while the service is away fails and says so (message 12).
    if (!StartEngine(true)) ++failedStartsWhileAway_;
    Watch();
    // Back: the host starts again.
    std::string error;
    const double back = Now();
    if (!service_.Start(dir_.Path(), opt_.scenario, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return;
    }
    if (StartEngine(false)) {
        ++restarts_;
        restartSeconds_.push_back(Now() - back);
        // The first restart gives the process its second engine and board: new threads, new
        // allocator arenas, a new window mapping. That step is part of the warm-up; later
        // restarts must leave memory where it was.
        if (restarts_ == 1) warmUpAt_ = std::max(warmUpAt_, Now() + 10);
        for (auto& t : tags_) t.known = !t.def->written;  // the simulator starts from its scenario
    }
}

int Soak::Run() {
    std::string error;
    if (!Boot(error)) {
        std::fprintf(stderr, "soak: %s\n", error.c_str());
        return 2;
    }
    const double start = Now();
    const double end = start + opt_.seconds - 2 * kTimeOut;  // room for the final quiet end
    const double warmUp = start + std::min(60.0, opt_.seconds / 4);
    warmUpAt_ = warmUp;
    double nextKill = start + opt_.restartEvery, nextCheck = start + 10, nextSample = start + 10;
    std::printf("soak: %.0f s, service killed every %.0f s, device folder %s\n", opt_.seconds,
                opt_.restartEvery, dir_.Path().c_str());
    std::fflush(stdout);
    auto registerSilences = [&] {
        for (auto& s : stations_)
            for (auto& p : s.silent)
                if (boardT0_ + p.second < nextKill - 1 && boardT0_ + p.second + kLostWithin < end)
                    silences_.push_back({s.name, boardT0_ + p.first, boardT0_ + p.second});
    };
    registerSilences();
    double lastCpu = -1, lastAt = 0;
    while (Now() < end) {
        const double t0 = Now();
        WriteCycle();
        Watch();
        // A recovery is checked as soon as its rewrites could have read back.
        for (auto& sl : silences_)
            if (sl.recoveredAt > 0 && !sl.checkPlanned) {
                sl.checkPlanned = true;
                nextCheck = std::min(nextCheck, sl.recoveredAt + 1);
            }
        if (Now() >= nextCheck) {
            CheckValues("check");
            nextCheck = Now() + 20;
            const Sample& s = samples_.back();
            if (s.at >= warmUp && lastCpu >= 0 && s.at > lastAt)
                cpuPerCycle_.push_back(1000 * kCycle * (s.cpuS - lastCpu) / (s.at - lastAt));
            lastCpu = s.cpuS;
            lastAt = s.at;
        }
        if (Now() >= nextSample) {
            SampleResources();
            nextSample = Now() + 10;
        }
        if (Now() >= nextKill && Now() < end - 30) {
            Outage();
            nextKill = Now() + opt_.restartEvery;
            registerSilences();
            lastCpu = -1;  // the outage's cycles are not steady-state ones
        }
        SleepS(kCycle - (Now() - t0));
    }
    // The final quiet end: every accepted write placed, every placed one answered or timed out.
    CheckValues("final");
    SleepS(kTimeOut + 1);
    Watch();
    EndEpoch(false);
    module_.SetActive(index_, nullptr, 0);
    module_.Unload();
    service_.Stop();
    return Report();
}

int Soak::Report() {
    Watch();
    const long accepted = placed_ + discarded_;
    Add("every write answered or its failure told",
        accountingBad_ == 0 && writes_ == accepted + refused_ && placed_ > 0,
        Fmt("%.0f writes: %.0f answered, %.0f failed (statistics, messages 7/8), %.0f refused (-1)",
            writes_, placed_ - failed_, failed_, refused_) +
            Fmt(", %.0f dropped by DrvStop after the service was killed", discarded_) +
            (accountingNote_.empty() ? "" : "; " + accountingNote_));
    Add("values equal the PLC's after quiet periods", compared_ > 0 && mismatches_ == 0,
        Fmt("%.0f checks, %.0f values compared, %.0f differ", checks_, compared_, mismatches_) +
            (firstMismatch_.empty() ? "" : " (first: " + firstMismatch_ + ")"));
    int lost = 0, recovered = 0, inTime = 0, equal = 0;
    double worst = 0;
    const double bound = kTimeOut + 2 * kCycle + 0.3;
    for (auto& sl : silences_) {
        lost += sl.lostAt >= 0;
        recovered += sl.recoveredAt >= 0;
        if (sl.recoveredAt >= 0) {
            worst = std::max(worst, sl.recoveredAt - sl.to);
            inTime += sl.recoveredAt - sl.to <= bound;
        }
        equal += sl.valuesEqual;
    }
    const double n = static_cast<double>(silences_.size());
    Add("station silences: lost, then recovered (message 11) in time",
        !silences_.empty() && lost == n && recovered == n && inTime == n,
        Fmt("%.0f silences: %.0f reported lost, %.0f recovered, latest %.2f s after the return", n,
            lost, recovered, worst) +
            Fmt(" (bound %.1f s: the time-out of the request in flight + 2 cycles)", bound));
    Add("values equal the PLC's after each recovery", !silences_.empty() && equal == n,
        Fmt("%.0f of %.0f", equal, n));
    const int kills = static_cast<int>(stopSeconds_.size()) - cleanEpochEnds_;
    double toldMax = 0, stopMax = 0, restartMax = 0;
    bool allTold = true;
    for (double v : toldAfterKill_) allTold = allTold && v >= 0, toldMax = std::max(toldMax, v);
    for (double v : stopSeconds_) stopMax = std::max(stopMax, v);
    for (double v : restartSeconds_) restartMax = std::max(restartMax, v);
    Add("service killed under the host: told, no hang, back after a restart",
        kills > 0 && restarts_ == kills && allTold && toldMax <= 2 * kCycle + 0.3 &&
            failedStartsWhileAway_ == kills && noDriverMessages_ >= 2 * kills && stopMax < 3,
        Fmt("%.0f kills: told (message 12) %.2f s after at most; DrvStop took %.2f s at most; "
            "DrvStart while away failed %.0f times",
            kills, toldMax, stopMax, failedStartsWhileAway_) +
            Fmt(" (message 12 again); restarted %.0f times, %.2f s from the service's return to "
                "running; its values equal the PLC's at the next check",
                restarts_, restartMax));
    std::vector<Sample> steady;
    for (auto& s : samples_)
        if (s.at >= warmUpAt_) steady.push_back(s);
    bool flat = steady.size() >= 2;
    std::string res = "too few samples after warm-up";
    if (flat) {
        const Sample& a = steady.front();
        long rssMax = 0, fdMax = 0, thrMax = 0;
        for (auto& s : steady)
            rssMax = std::max(rssMax, s.rssKb), fdMax = std::max(fdMax, s.fds),
            thrMax = std::max(thrMax, s.threads);
        const double growth = 100.0 * (rssMax - a.rssKb) / a.rssKb;
        flat = growth < 1 && fdMax <= a.fds && thrMax <= a.threads;
        res = Fmt("%.0f samples; RSS %.0f kB -> max %.0f kB (%+.2f %%)", steady.size(), a.rssKb,
                  rssMax, growth) +
              Fmt("; descriptors %.0f -> max %.0f; threads %.0f -> max %.0f", a.fds, fdMax,
                  a.threads, thrMax);
    }
    if (!opt_.resourceChecks) flat = true, res += " (not judged)";
    Add("memory, descriptors, threads flat after warm-up", flat, res);
    // Steady means no trend: the later half of the windows costs what the earlier half did. Single
    // windows vary with the faults they hold (a station's silence, a batch waiting on time-outs,
    // the quiet periods before the checks) and with the machine's load, so the spread is shown,
    // not judged.
    // A trend needs a few windows on each side: a short run (the two-minute test has three or
    // four) shows its figures without judging them.
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        const std::size_t n = v.size();
        return n == 0 ? 0.0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    };
    const std::vector<double>& cpu = cpuPerCycle_;
    const std::size_t half = cpu.size() / 2;
    const double early = median({cpu.begin(), cpu.begin() + half});
    const double late = median({cpu.begin() + half, cpu.end()});
    constexpr std::size_t kTrendWindows = 8;
    const bool judged = opt_.resourceChecks && cpu.size() >= kTrendWindows;
    const bool steadyCpu = !judged || late <= 1.25 * early + 0.05;
    Add("CPU per cycle steady", steadyCpu,
        cpu.empty() ? std::string("no windows")
                    : Fmt("%.0f windows: median %.3f ms, min %.3f, max %.3f; ", cpu.size(),
                          median(cpu), *std::min_element(cpu.begin(), cpu.end()),
                          *std::max_element(cpu.begin(), cpu.end())) +
                          Fmt("earlier half %.3f, later half %.3f (steady: later <= 1.25 x "
                              "earlier + 0.05 ms)",
                              early, late) +
                          (judged ? ""
                                  : Fmt(" (not judged: %.0f windows, a trend needs %.0f)",
                                        cpu.size(), kTrendWindows)));

    std::printf("\n| Check | Result | Figures |\n|---|---|---|\n");
    bool all = true;
    for (auto& r : rows_) {
        all = all && r.ok;
        std::printf("| %s | %s | %s |\n", r.check.c_str(), r.ok ? "pass" : "FAIL",
                    r.result.c_str());
    }
    std::printf("\nStations:");
    for (auto& s : stations_) std::printf(" %s (%s);", s.name.c_str(), s.kind.c_str());
    std::printf("\n%ld cycles, %ld messages to the host.\n", cycles_, messages_.Total());
    return all ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--minutes")
            o.seconds = 60 * std::atof(next().c_str());
        else if (a == "--seconds")
            o.seconds = std::atof(next().c_str());
        else if (a == "--restart-every")
            o.restartEvery = std::atof(next().c_str());
        else if (a == "--config")
            o.config = next();
        else if (a == "--scenario")
            o.scenario = next();
        else if (a == "--no-resource-checks")
            o.resourceChecks = false;
        else {
            std::fprintf(stderr,
                         "usage: qx_soak --config JSON --scenario JSON [--minutes M | --seconds S]"
                         " [--restart-every S] [--no-resource-checks]\n");
            return 2;
        }
    }
    if (o.config.empty() || o.scenario.empty() || o.seconds < 60) {
        std::fprintf(stderr, "qx_soak: --config and --scenario are required; at least 60 s\n");
        return 2;
    }
    Soak soak(o);
    return soak.Run();
}
