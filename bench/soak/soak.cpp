// Soak host: the real module through DrvFuncTable on the real tvioctrld --simulate, writing
// random values of every data type every cycle while the scenario silences a station now and
// then, one station answers with errors, one answers slowly, one never answers, and the service
// itself is killed and started again under the running host. The simulator's journal of applied
// writes (tvioctrld --journal) is the PLC's side: every accepted write is judged against it, and
// the values delivered to the host are compared with the PLC memory it gives. Prints a table of
// checks at the end; exit status 1 if any failed.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <climits>
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
#include <set>
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
// CLOCK_MONOTONIC seconds, the journal's clock.
double Mono() {
    return std::chrono::duration<double>(SteadyClock::now().time_since_epoch()).count();
}
const double kMonoEpoch = std::chrono::duration<double>(kEpoch.time_since_epoch()).count();
void SleepS(double s) {
    if (s > 0) std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

constexpr double kCycle = 0.1;       // the host's write cycle and the engine's poll cycle
constexpr double kTimeOut = 5.0;     // the board's request time-out
constexpr double kSettle = 1.5;      // after the last write is placed, until it reads back
constexpr double kReadBack = 5.0;    // ... at the most
constexpr double kLostWithin = 8.0;  // time-out, two cycles and slack on a busy machine
constexpr int kWritesPerCycle = 4;
// A write may wait unsent this many cycles: its batch waits for the one before, which may wait on
// a time-out, and in its batch it waits for the earlier writes of its tag (two time-outs, 12.7 s).
constexpr long kUnsentCycles = 127;

struct Options {
    double seconds = 3600;
    double restartEvery = -1;      // the service is killed this long after each (re)start
    bool resourceChecks = true;    // off under sanitizers: their own memory and time dominate
    bool overlappingTags = false;  // bit tags inside written word tags too
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
// With --overlapping-tags: bits inside written word tags, in the block and outside it.
const Layout kOverlapping[] = {
    {"D0005.3", BIT, 1, true},
    {"D0101.15", BIT, 1, true},
};

struct Station {
    std::string name;
    int number = 0;
    bool readable = true;                           // answers reads: not absent, no error number
    bool applies = true;                            // applies writes: the same, silences aside
    std::string kind;                               // for the table
    std::vector<std::pair<double, double>> silent;  // board time, seconds
    // This epoch's host-side write accounting.
    long accepted = 0, refused = 0, acceptedSinceCut = 0;
    std::array<long, kUnsentCycles + 1> history{};  // `accepted` at the end of recent cycles
    double lostAt = -1;                             // set by message 10 while lost
};

// A PLC word: station number, device index in "PMLKFTCDS", word.
using WordKey = std::array<int, 3>;

struct Tag {
    int station;
    const Layout* def;
    std::string name;
    int device = 0, word = 0, words = 1, bit = -1;  // where it lives at the PLC
    std::int32_t id = 0, handle = -1;
    bool generated = false;  // a generator drives one of its words
    std::string recent;      // the last few values written, for a report of a difference
};

// Where an address puts a tag: D0100 a word, D0102.4 a bit of one, M0013 bit 3 of M0001.
void Place(Tag& t) {
    const std::string a = t.def->address;
    t.device = static_cast<int>(std::string("PMLKFTCDS").find(a[0]));
    const std::size_t dot = a.find('.');
    if (t.def->type != BIT) {
        t.word = std::atoi(a.c_str() + 1);
    } else if (dot != std::string::npos) {
        t.word = std::atoi(a.substr(1, dot - 1).c_str());
        t.bit = std::atoi(a.c_str() + dot + 1);
    } else {
        t.word = std::atoi(a.substr(1, a.size() - 2).c_str());
        t.bit = std::stoi(a.substr(a.size() - 1), nullptr, 16);
    }
    t.words = t.def->type == STRING ? (t.def->size + 1) / 2 : t.def->size == 4 ? 2 : 1;
}

// --- the words a PLC holds for a value ----------------------------------------------------------
// From the data types themselves, not from the driver's code: integers in two's complement, an
// 8-bit value in its word's low byte with the word holding the whole value; BCD one decimal digit
// a nibble, a signed BCD with the sign in the top bit of its bytes (bit 7 of the word for SBCD8);
// 32-bit values and floats (IEEE single) low word first; a text two characters a word, the first
// in the low byte, zero-filled; a bit tag its bit (0 or 1).

std::uint32_t ToBcd(std::uint64_t v) {
    std::uint32_t r = 0;
    for (int shift = 0; v && shift < 32; shift += 4, v /= 10)
        r |= static_cast<std::uint32_t>(v % 10) << shift;
    return r;
}

// NaN for a nibble that is no decimal digit.
double FromBcd(std::uint32_t raw, int digits) {
    double r = 0, scale = 1;
    for (int i = 0; i < digits; ++i, raw >>= 4, scale *= 10) {
        if ((raw & 0xF) > 9) return std::nan("");
        r += (raw & 0xF) * scale;
    }
    return r;
}

std::vector<std::uint16_t> Encode(const Tag& t, double num, const std::string& text) {
    const auto v = static_cast<std::int64_t>(num);
    const std::uint64_t mag = static_cast<std::uint64_t>(v < 0 ? -v : v);
    std::uint32_t dword = static_cast<std::uint32_t>(v);
    switch (t.def->type) {
        case BIT:
            return {static_cast<std::uint16_t>(num != 0)};
        case SINT8:
        case SINT16:
        case UINT8:
        case UINT16:
            return {static_cast<std::uint16_t>(v)};
        case SBCD8:
            return {static_cast<std::uint16_t>(ToBcd(mag) | (v < 0 ? 0x80 : 0))};
        case SBCD16:
            return {static_cast<std::uint16_t>(ToBcd(mag) | (v < 0 ? 0x8000 : 0))};
        case BCD8:
        case BCD16:
            return {static_cast<std::uint16_t>(ToBcd(mag))};
        case SBCD32:
            dword = ToBcd(mag) | (v < 0 ? 0x80000000u : 0);
            break;
        case BCD32:
            dword = ToBcd(mag);
            break;
        case FLOAT:
            dword = std::bit_cast<std::uint32_t>(static_cast<float>(num));
            break;
        case STRING: {
            std::vector<std::uint16_t> w(static_cast<std::size_t>(t.words));
            for (std::size_t i = 0; i < text.size() && i < 2 * w.size(); ++i)
                w[i / 2] |= static_cast<std::uint16_t>(static_cast<std::uint8_t>(text[i])
                                                       << (i % 2 ? 8 : 0));
            return w;
        }
        default:
            break;
    }
    return {static_cast<std::uint16_t>(dword), static_cast<std::uint16_t>(dword >> 16)};
}

// The value the host must be shown for the words the PLC holds (NaN: no valid value).
double Decode(const Tag& t, const std::vector<std::uint16_t>& w, std::string& text) {
    const std::uint32_t low = w[0] & 0xFFu;
    const std::uint32_t dword = w.size() > 1 ? w[0] | static_cast<std::uint32_t>(w[1]) << 16 : 0;
    auto sign = [](bool negative, double v) { return negative ? -v : v; };
    switch (t.def->type) {
        case BIT:
            return (w[0] >> t.bit) & 1;
        case SINT8:
            return static_cast<std::int8_t>(low);
        case UINT8:
            return low;
        case SINT16:
            return static_cast<std::int16_t>(w[0]);
        case UINT16:
            return w[0];
        case SINT32:
            return static_cast<std::int32_t>(dword);
        case UINT32:
            return dword;
        case SBCD8:
            return sign(low & 0x80, FromBcd(low & 0x7F, 2));
        case SBCD16:
            return sign(w[0] & 0x8000, FromBcd(w[0] & 0x7FFFu, 4));
        case SBCD32:
            return sign(dword & 0x80000000u, FromBcd(dword & 0x7FFFFFFFu, 8));
        case BCD8:
            return FromBcd(low, 2);
        case BCD16:
            return FromBcd(w[0], 4);
        case BCD32:
            return FromBcd(dword, 8);
        case FLOAT:
            return std::bit_cast<float>(dword);
        default:
            text.clear();
            for (int i = 0; i < t.def->size; ++i) {
                const char c =
                    static_cast<char>(w[static_cast<std::size_t>(i / 2)] >> (i % 2 ? 8 : 0));
                if (!c) break;
                text += c;
            }
            return 0;
    }
}

std::string Hex(const std::vector<std::uint16_t>& w) {
    std::string r;
    char buf[16];
    for (auto x : w) std::snprintf(buf, sizeof buf, " 0x%04X", x), r += buf;
    return r;
}

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
            dir + "/TVIOCTRL.sock",       "--ready-file", ready,    "--journal",
            dir + "/journal.jsonl"};
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
    int Runs() const { return runs_; }  // starts so far: the journal's runs

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

enum class Verdict { Pass, Fail, NotJudged };

struct Row {
    std::string check, result;
    Verdict verdict;
};

// An accepted write, logged to a file for the judgement at the end of its run (kept in memory it
// would grow the process under the check of its resources).
struct HostWrite {
    std::int32_t run, tag, doubtful;
    std::int64_t seq, cycle;
    double at;  // CLOCK_MONOTONIC seconds, taken before the call
    double num;
    char text[32];
};

// A line of the simulator's journal (sim/README.md, "Journal of applied writes").
struct Applied {
    std::int64_t seq = 0;
    double t = 0;
    int station = -1, device = -1, word = -1, count = 0, bit = -1, value = 0;
    bool bitWrite = false;
    std::uint16_t keep = 0xFFFF, set = 0;
    std::vector<std::uint16_t> words;
};

// False for a line that is not one; `start` for the line a service writes when it starts.
bool ParseApplied(const std::string& line, Applied& a, bool& start) {
    const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return false;
    start = j.value("start", false);
    if (start) return true;
    const std::string device = j.value("device", "");
    const std::size_t d = device.size() == 1 ? std::string("PMLKFTCDS").find(device[0]) : 9;
    a.seq = j.value("seq", std::int64_t{0});
    a.t = j.value("t", 0.0);
    a.station = j.value("station", -1);
    a.device = d < 9 ? static_cast<int>(d) : -1;
    a.word = j.value("word", -1);
    a.count = j.value("count", 0);
    a.bitWrite = j.contains("keep");
    if (a.bitWrite) {
        a.keep = j.value("keep", std::uint16_t{0xFFFF});
        a.set = j.value("set", std::uint16_t{0});
        a.bit = j.value("bit", -1);
        a.value = j.value("value", 0);
    } else if (j.contains("words") && j["words"].is_array()) {
        for (const auto& w : j["words"]) a.words.push_back(w.get<std::uint16_t>());
    }
    return a.seq > 0 && a.device >= 0 && a.count > 0 &&
           (a.bitWrite || static_cast<int>(a.words.size()) == a.count);
}

class Soak {
public:
    explicit Soak(const Options& o) : opt_(o) {}
    ~Soak() {
        if (hostLog_) std::fclose(hostLog_);
    }
    int Run();

private:
    bool Boot(std::string& error);
    bool StartEngine(bool expectFailure);
    void WriteCycle();
    void WriteTag(Tag& t);
    void Expect(const Tag& t, const std::vector<std::uint16_t>& raw, bool doubtful);
    bool Known(const Tag& t) const;
    static std::uint16_t Mask(const Tag& t) {
        return t.def->type == BIT ? static_cast<std::uint16_t>(1u << t.bit) : 0xFFFF;
    }
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
    void Add(const std::string& check, Verdict verdict, const std::string& result) {
        rows_.push_back({check, result, verdict});
    }
    void Add(const std::string& check, bool ok, const std::string& result) {
        Add(check, ok ? Verdict::Pass : Verdict::Fail, result);
    }
    // The PLC's side, from the journal.
    WordKey KeyOf(const Tag& t, int i) const {
        return {stations_[t.station].number, t.device, t.word + i};
    }
    std::vector<std::uint16_t> AtPlc(const Tag& t) const;
    std::uint64_t ForLines(std::uint64_t from,
                           const std::function<bool(const std::string&, std::uint64_t)>& line);
    void ReadJournal();
    void Judge(bool killed, std::vector<long>& applied, std::vector<long>& replaceable);
    void JournalProblem(const std::string& what);
    std::string Describe(const Applied& a) const;
    std::string Describe(const HostWrite& h) const;

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
         appliedTotal_ = 0;
    int epochs_ = 0, cleanEpochEnds_ = 0, accountingBad_ = 0;
    std::string accountingNote_;
    // Values after quiet periods: the PLC against the host's writes, the host's values against
    // the PLC.
    long plcCompared_ = 0, plcDiffer_ = 0, deliveredCompared_ = 0, deliveredDiffer_ = 0;
    std::string firstPlcDiff_, firstDeliveredDiff_;
    // The journal: where it has been read to, where each service run starts in it, the PLC words
    // the tags cover as it leaves them (and as the scenario starts them).
    std::string journalPath_;
    std::uint64_t journalRead_ = 0;
    std::vector<std::uint64_t> runStarts_;
    std::vector<char> chunk_ = std::vector<char>(1 << 16);
    std::string pending_;
    std::map<WordKey, std::uint16_t> memory_, initial_;
    // The same words as the host's accepted writes leave them, and their bits left unknown.
    std::map<WordKey, std::uint16_t> hostWords_, unknown_;
    std::map<std::array<int, 4>, std::size_t> tagAt_;  // station number, device, word, bit
    std::FILE* hostLog_ = nullptr;
    long hostLogRunStart_ = 0;
    std::int64_t hostSeq_ = 0;
    long cutCycle_ = -1;  // writes of later cycles may be lost with the killed service
    // The judgement of accepted writes, over all runs.
    int runsJudged_ = 0, problemsShown_ = 0;
    long judged_ = 0, matched_ = 0, replaced_ = 0, lostToSilence_ = 0, discardedAtKill_ = 0,
         notApplied_ = 0, unexplained_ = 0, strays_ = 0, disorder_ = 0;
    std::string firstJournalProblem_;
    std::vector<HostWrite> host_;
    std::vector<Applied> plc_;
    std::vector<int> cost_;
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
    // The scenario's memory, and the words its generators drive.
    std::map<WordKey, std::uint16_t> scenarioMemory;
    std::set<WordKey> generated;
    auto where = [](const std::string& a) {
        return std::make_pair(static_cast<int>(std::string("PMLKFTCDS").find(a[0])),
                              std::atoi(a.c_str() + 1));
    };
    for (const auto& j : sc["stations"]) {
        Station s;
        s.name = j.value("name", "");
        s.number = j.value("number", -1);
        s.kind = "healthy";
        if (j.value("absent", false)) s.readable = false, s.kind = "absent from the start";
        if (j.value("errorNumber", 0) != 0) s.readable = false, s.kind = "answers with errors";
        s.applies = s.readable;
        if (j.value("delayMs", 0) != 0)
            s.kind = "answers after " + std::to_string(j.value("delayMs", 0)) + " ms";
        if (j.contains("silent")) {
            for (const auto& p : j["silent"])
                s.silent.push_back({p.value("fromMs", 0) / 1000.0, p.value("toMs", 0) / 1000.0});
            s.kind = "silent " + std::to_string(s.silent.size()) + " times";
        }
        const nlohmann::json memory = j.value("memory", nlohmann::json::object());
        for (const auto& [address, value] : memory.items()) {
            const auto [device, word] = where(address);
            std::vector<std::uint16_t> words;
            if (value.is_string()) {
                const std::string text = value.get<std::string>();
                for (std::size_t i = 0; i < text.size(); ++i) {
                    if (i % 2 == 0) words.push_back(0);
                    words.back() |= static_cast<std::uint16_t>(static_cast<std::uint8_t>(text[i])
                                                               << (i % 2 ? 8 : 0));
                }
            } else {
                for (const auto& w : value.is_array() ? value : nlohmann::json::array({value}))
                    words.push_back(static_cast<std::uint16_t>(w.get<long long>()));
            }
            for (std::size_t i = 0; i < words.size(); ++i)
                scenarioMemory[{s.number, device, word + static_cast<int>(i)}] = words[i];
        }
        for (const auto& g : j.value("generators", nlohmann::json::array())) {
            const auto [device, word] = where(g.value("address", "?"));
            const int n = g.value("kind", "") == "clock" ? 2 : g.value("words", 1);
            for (int i = 0; i < n; ++i) generated.insert({s.number, device, word + i});
        }
        stations_.push_back(s);
    }
    messages_.Install(stations_);
    std::vector<const Layout*> layout;
    for (const auto& def : kLayout) layout.push_back(&def);
    if (opt_.overlappingTags)
        for (const auto& def : kOverlapping) layout.push_back(&def);
    for (std::size_t s = 0; s < stations_.size(); ++s)
        for (const Layout* def : layout) {
            Tag t;
            t.station = static_cast<int>(s);
            t.def = def;
            t.name = stations_[s].name + "." + def->address;
            t.id = CTagDatabase::Instance().AddTag(t.name);
            Place(t);
            for (int i = 0; i < t.words; ++i) {
                const WordKey k = KeyOf(t, i);
                initial_[k] = scenarioMemory.count(k) ? scenarioMemory[k] : 0;
                unknown_[k] = 0;
                t.generated = t.generated || generated.count(k);
            }
            tagAt_[{stations_[s].number, t.device, t.word, t.bit}] = tags_.size();
            tags_.push_back(t);
        }
    memory_ = initial_;
    journalPath_ = dir_ / "journal.jsonl";
    hostLog_ = std::fopen((dir_ / "host-writes.bin").c_str(), "w+b");
    if (!hostLog_) {
        error = "cannot create the log of the host's writes";
        return false;
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
    }
    // The simulator starts from its scenario.
    hostWords_ = initial_;
    for (auto& [key, mask] : unknown_) mask = 0;
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
    const double at = Mono();
    const std::int32_t r = module_.Write(index_, t.handle, v);
    ++writes_;
    if (r != 0) {
        ++s.refused;
        ++refused_;
        Expect(t, {}, true);
        return;
    }
    ++s.accepted;
    ++s.acceptedSinceCut;
    const bool doubtful = Doubtful(s);
    Expect(t, Encode(t, num, text), doubtful);
    if (verbose_) {
        t.recent = Fmt("%.2f:", Now()) + (t.def->type == STRING ? text : Fmt("%.0f", num)) + " " +
                   t.recent;
        if (t.recent.size() > 120) t.recent.resize(120);
    }
    HostWrite h{};
    h.run = service_.Runs();
    h.tag = static_cast<std::int32_t>(&t - tags_.data());
    h.doubtful = doubtful;
    h.seq = ++hostSeq_;
    h.cycle = cycles_ + 1;
    h.at = at;
    h.num = num;
    std::snprintf(h.text, sizeof h.text, "%s", text.c_str());
    std::fwrite(&h, sizeof h, 1, hostLog_);
}

// The PLC words as the host's accepted writes leave them, in the host's order, word writes and
// bit writes alike; a doubtful or refused write leaves its bits unknown until written again.
void Soak::Expect(const Tag& t, const std::vector<std::uint16_t>& raw, bool doubtful) {
    const std::uint16_t m = Mask(t);
    for (int i = 0; i < t.words; ++i) {
        const WordKey k = KeyOf(t, i);
        std::uint16_t& w = hostWords_[k];
        if (!raw.empty())
            w = t.def->type == BIT ? static_cast<std::uint16_t>((w & ~m) | (raw[0] ? m : 0))
                                   : raw[static_cast<std::size_t>(i)];
        unknown_[k] = static_cast<std::uint16_t>(doubtful ? unknown_[k] | m : unknown_[k] & ~m);
    }
}

bool Soak::Known(const Tag& t) const {
    for (int i = 0; i < t.words; ++i)
        if (unknown_.at(KeyOf(t, i)) & Mask(t)) return false;
    return true;
}

void Soak::WriteCycle() {
    // Tags whose value is unknown on a station that answers go first; then random ones.
    int n = 0;
    for (auto& t : tags_) {
        const Station& s = stations_[t.station];
        if (n < kWritesPerCycle && !Known(t) && s.readable && !Doubtful(s) && t.def->written) {
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

// No writes until every accepted one has gone to the board, then until they read back. A driver
// that replaces unsent writes by newer ones places fewer than were accepted: a station whose count
// stood still for longer than a time-out has placed what it will.
bool Soak::Quiet(double timeout) {
    const double end = Now() + timeout;
    std::vector<long> last(stations_.size(), -1);
    double moved = Now();
    for (;;) {
        bool placed = true;
        for (std::size_t i = 0; i < stations_.size(); ++i) {
            // A station that never answers takes each write of a word in turn, a time-out each:
            // its backlog drains for long after the writes stop, and nothing of it reaches a PLC.
            if (!stations_[i].applies) continue;
            const long p = Placed(static_cast<int>(i));
            placed = placed && p == stations_[i].accepted;
            if (p != last[i]) last[i] = p, moved = Now();
        }
        if (placed || Now() - moved > kTimeOut + 1) break;
        if (Now() > end) return false;
        SleepS(kCycle);
        Watch();
    }
    SleepS(kSettle);
    Watch();
    return true;
}

std::vector<std::uint16_t> Soak::AtPlc(const Tag& t) const {
    std::vector<std::uint16_t> w;
    for (int i = 0; i < t.words; ++i) w.push_back(memory_.at(KeyOf(t, i)));
    return w;
}

// At a quiet moment the PLC must hold the last value the host wrote to every tag whose write
// was answered, and the host must be shown what the PLC holds, both taken from the journal.
void Soak::CheckValues(const char* why) {
    const bool quiet = Quiet(6 * kTimeOut);
    ++checks_;
    if (!quiet) {
        ++plcDiffer_;
        if (firstPlcDiff_.empty()) firstPlcDiff_ = std::string(why) + ": writes not placed in time";
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
    // The bits of the tag the host's writes leave known.
    auto plcEqual = [&](const Tag& t) {
        for (int i = 0; i < t.words; ++i) {
            const WordKey k = KeyOf(t, i);
            const auto m = static_cast<std::uint16_t>(Mask(t) & ~unknown_.at(k));
            if ((memory_.at(k) & m) != (hostWords_.at(k) & m)) return false;
        }
        return true;
    };
    auto deliveredEqual = [&](const Tag& t, std::string* what) {
        if (t.generated) return true;  // the journal does not know these words
        std::string text;
        const double want = Decode(t, AtPlc(t), text);
        CTagVal v;
        CTagDatabase::Instance().GetValue(t.id, v);
        const bool equal = t.def->type == STRING ? v.IsSet() && v.IsText() && v.Text() == text
                                                 : v.IsSet() && !v.IsText() && v.GetVal() == want;
        if (!equal && what)
            *what = t.name + " delivered " + v.Describe() + ", the PLC holds" + Hex(AtPlc(t)) +
                    " = " + (t.def->type == STRING ? "\"" + text + "\"" : Fmt("%.9g", want));
        return equal;
    };
    // A write answered late by a slow station, on a loaded machine, may read back a cycle or two
    // after the settle time: a value is looked at again until it is equal or kReadBack passed
    // since the writes were placed. A write that reached the PLC out of order stays different.
    for (double until = Now() + kReadBack - kSettle;;) {
        ReadJournal();
        bool all = true;
        for (auto& t : tags_)
            all = all && (!upNow[t.station] || (plcEqual(t) && deliveredEqual(t, nullptr)));
        if (all || Now() >= until) break;
        SleepS(kCycle);
        Watch();
    }
    std::vector<bool> stationEqual(stations_.size(), true);
    for (auto& t : tags_) {
        if (!upNow[t.station]) continue;
        std::string what;
        std::vector<std::uint16_t> expect;
        for (int i = 0; i < t.words; ++i) expect.push_back(hostWords_.at(KeyOf(t, i)));
        plcCompared_ += Known(t);
        if (!plcEqual(t)) {
            ++plcDiffer_;
            stationEqual[t.station] = false;
            what = t.name + " at the PLC" + Hex(AtPlc(t)) + ", the host's writes leave" +
                   Hex(expect) + (Known(t) ? "" : " (partly unknown)");
            if (verbose_)
                std::fprintf(stderr, "%8.2f %s (written %s)\n", Now(), what.c_str(),
                             t.recent.c_str());
            if (firstPlcDiff_.empty()) firstPlcDiff_ = std::string(why) + ": " + what;
        }
        deliveredCompared_ += !t.generated;
        if (!deliveredEqual(t, &what)) {
            ++deliveredDiffer_;
            stationEqual[t.station] = false;
            if (verbose_) std::fprintf(stderr, "%8.2f %s\n", Now(), what.c_str());
            if (firstDeliveredDiff_.empty()) firstDeliveredDiff_ = std::string(why) + ": " + what;
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

// --- the journal ------------------------------------------------------------------------------

// Calls `line` for each whole line of the journal from byte `from` on, with its offset, until it
// returns false; returns the offset after the last line taken.
std::uint64_t Soak::ForLines(std::uint64_t from,
                             const std::function<bool(const std::string&, std::uint64_t)>& line) {
    const int fd = ::open(journalPath_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return from;
    std::uint64_t at = from, lineStart = from;
    pending_.clear();
    for (bool more = true; more;) {
        const ssize_t n = ::pread(fd, chunk_.data(), chunk_.size(), static_cast<off_t>(at));
        if (n <= 0) break;
        for (ssize_t i = 0; i < n && more; ++i) {
            if (chunk_[static_cast<std::size_t>(i)] != '\n') {
                pending_ += chunk_[static_cast<std::size_t>(i)];
                continue;
            }
            more = line(pending_, lineStart);
            pending_.clear();
            lineStart = at + static_cast<std::uint64_t>(i) + 1;
        }
        at += static_cast<std::uint64_t>(n);
    }
    ::close(fd);
    return lineStart;
}

// The PLC words the tags cover, up to the journal's last line.
void Soak::ReadJournal() {
    journalRead_ = ForLines(journalRead_, [&](const std::string& text, std::uint64_t at) {
        Applied a;
        bool start = false;
        if (!ParseApplied(text, a, start)) return true;  // judged with its run
        if (start) {
            runStarts_.push_back(at);
            memory_ = initial_;
            return true;
        }
        for (int i = 0; i < a.count; ++i) {
            auto it = memory_.find({a.station, a.device, a.word + i});
            if (it == memory_.end()) continue;
            it->second = a.bitWrite ? static_cast<std::uint16_t>((it->second & a.keep) | a.set)
                                    : a.words[static_cast<std::size_t>(i)];
        }
        return true;
    });
}

void Soak::JournalProblem(const std::string& what) {
    if (firstJournalProblem_.empty()) firstJournalProblem_ = what;
    if (verbose_ || problemsShown_ < 10)
        std::fprintf(stderr, "%8.2f journal: %s\n", Now(), what.c_str());
    ++problemsShown_;
}

std::string Soak::Describe(const Applied& a) const {
    char where[64];
    std::snprintf(where, sizeof where, "station %d %c%04d+%d", a.station,
                  a.device >= 0 ? "PMLKFTCDS"[a.device] : '?', a.word, a.count);
    std::string r = where;
    r += a.bitWrite ? Fmt(" bit %.0f = %.0f", a.bit, a.value) : " words" + Hex(a.words);
    return r + Fmt(" applied at %.2f s", a.t - kMonoEpoch);
}

std::string Soak::Describe(const HostWrite& h) const {
    const Tag& t = tags_[static_cast<std::size_t>(h.tag)];
    return t.name + " = " + (t.def->type == STRING ? std::string(h.text) : Fmt("%.10g", h.num)) +
           (t.def->type == BIT ? Fmt(" (bit %.0f)", t.bit)
                               : " (PLC words" + Hex(Encode(t, h.num, h.text)) + ")") +
           Fmt(" accepted at %.2f s", h.at - kMonoEpoch);
}

// Every write accepted in the service's run that ends now, against the journal of that run. Per
// tag, the writes the PLC applied must be the host's accepted writes of its words in the host's
// order, each applied after it was made, and per PLC word in the host's order whichever tag wrote
// it. A write missing is explained by a station that applies nothing, by a silence (doubtful),
// by the service killed soon after (since the cut), or else by a newer write of the same words
// made while it may still have waited unsent (not for a bit: bit writes are never replaced).
// `applied` per station: the journal's lines; `replaceable`: missing writes a newer one could
// have replaced.
void Soak::Judge(bool killed, std::vector<long>& applied, std::vector<long>& replaceable) {
    enum Why { kMatched, kNotApplied, kSilence, kKill, kReplaced, kUnexplained };
    ReadJournal();
    const int run = service_.Runs();
    applied.assign(stations_.size(), 0);
    replaceable.assign(stations_.size(), 0);
    ++runsJudged_;
    // The host's side.
    host_.clear();
    std::fflush(hostLog_);
    std::fseek(hostLog_, hostLogRunStart_, SEEK_SET);
    for (HostWrite h; std::fread(&h, sizeof h, 1, hostLog_) == 1;)
        if (h.run == run) host_.push_back(h);
    std::fseek(hostLog_, 0, SEEK_END);
    hostLogRunStart_ = std::ftell(hostLog_);
    judged_ += static_cast<long>(host_.size());
    // The PLC's side.
    plc_.clear();
    if (static_cast<int>(runStarts_.size()) != run) {
        ++strays_;
        JournalProblem(Fmt("the journal shows %.0f service starts, the host made %.0f",
                           runStarts_.size(), run));
        return;
    }
    bool first = true;
    ForLines(runStarts_[static_cast<std::size_t>(run - 1)],
             [&](const std::string& text, std::uint64_t) {
                 Applied a;
                 bool start = false;
                 if (!ParseApplied(text, a, start)) {
                     ++strays_;
                     JournalProblem("not a journal line: " + text);
                 } else if (start) {
                     const bool mine = first;
                     first = false;
                     return mine;
                 } else {
                     plc_.push_back(std::move(a));
                 }
                 return true;
             });
    std::vector<std::vector<std::size_t>> hostOf(tags_.size()), plcOf(tags_.size());
    for (std::size_t i = 0; i < host_.size(); ++i)
        hostOf[static_cast<std::size_t>(host_[i].tag)].push_back(i);
    for (std::size_t j = 0; j < plc_.size(); ++j) {
        const Applied& a = plc_[j];
        std::size_t si = 0;
        while (si < stations_.size() && stations_[si].number != a.station) ++si;
        if (si < stations_.size()) ++applied[si];
        const auto it = tagAt_.find({a.station, a.device, a.word, a.bitWrite ? a.bit : -1});
        const bool fits = it != tagAt_.end() && si < stations_.size() && stations_[si].applies &&
                          (a.bitWrite ? a.bit >= 0 : tags_[it->second].words == a.count);
        if (fits) {
            plcOf[it->second].push_back(j);
        } else {
            ++strays_;
            JournalProblem(Describe(a) + Fmt(" (run %.0f): the host wrote no tag of exactly "
                                             "these words there",
                                             run));
        }
    }
    // Per PLC word, the applied writes: (journal line, host write), indices in plc_ and host_.
    std::map<WordKey, std::vector<std::pair<std::size_t, std::size_t>>> order;
    for (std::size_t ti = 0; ti < tags_.size(); ++ti) {
        const Tag& t = tags_[ti];
        const std::vector<std::size_t>&H = hostOf[ti], &E = plcOf[ti];
        const std::size_t n = H.size(), k = E.size();
        std::vector<std::vector<std::uint16_t>> raw(n);
        std::vector<Why> why(n);
        std::vector<bool> newer(n);
        for (std::size_t i = 0; i < n; ++i) {
            const HostWrite& h = host_[H[i]];
            raw[i] = Encode(t, h.num, h.text);
            newer[i] =
                t.def->type != BIT && i + 1 < n && host_[H[i + 1]].cycle - h.cycle <= kUnsentCycles;
            why[i] = !stations_[t.station].applies   ? kNotApplied
                     : h.doubtful                    ? kSilence
                     : killed && h.cycle > cutCycle_ ? kKill
                     : newer[i]                      ? kReplaced
                                                     : kUnexplained;
        }
        auto same = [&](std::size_t i, std::size_t j) {
            const Applied& a = plc_[E[j]];
            return a.t >= host_[H[i]].at &&
                   (t.def->type == BIT ? a.value == raw[i][0] : a.words == raw[i]);
        };
        // The fewest faults (writes missing unexplained, lines the host's writes do not give) for
        // host writes i.. and journal lines j..; then the path to it.
        cost_.assign((n + 1) * (k + 1), 0);
        auto C = [&](std::size_t i, std::size_t j) -> int& { return cost_[i * (k + 1) + j]; };
        for (std::size_t i = n + 1; i-- > 0;)
            for (std::size_t j = k + 1; j-- > 0;) {
                if (i == n && j == k) continue;
                int best = INT_MAX;
                if (i < n && j < k && same(i, j)) best = C(i + 1, j + 1);
                if (i < n) best = std::min(best, C(i + 1, j) + (why[i] == kUnexplained));
                if (j < k) best = std::min(best, C(i, j + 1) + 1);
                C(i, j) = best;
            }
        for (std::size_t i = 0, j = 0; i < n || j < k;) {
            if (i < n && j < k && same(i, j) && C(i, j) == C(i + 1, j + 1)) {
                ++matched_;
                for (int w = 0; w < t.words; ++w) order[KeyOf(t, w)].push_back({E[j], H[i]});
                ++i, ++j;
            } else if (i < n && C(i, j) == C(i + 1, j) + (why[i] == kUnexplained)) {
                replaceable[static_cast<std::size_t>(t.station)] += newer[i];
                notApplied_ += why[i] == kNotApplied;
                lostToSilence_ += why[i] == kSilence;
                discardedAtKill_ += why[i] == kKill;
                replaced_ += why[i] == kReplaced;
                if (why[i] == kUnexplained) {
                    ++unexplained_;
                    JournalProblem(Describe(host_[H[i]]) +
                                   Fmt(" (run %.0f): never applied at the "
                                       "PLC, and no newer write replaced it",
                                       run));
                }
                ++i;
            } else {
                ++strays_;
                JournalProblem(Describe(plc_[E[j]]) + " (" + t.name +
                               Fmt(", run %.0f): not a value the host wrote there, or not in the "
                                   "host's order",
                                   run));
                ++j;
            }
        }
    }
    // Journal lines of a run are in the order applied, host writes in the order made.
    for (auto& [key, pairs] : order) {
        std::sort(pairs.begin(), pairs.end());
        for (std::size_t i = 1; i < pairs.size(); ++i)
            if (pairs[i].second < pairs[i - 1].second) {
                ++disorder_;
                char where[32];
                std::snprintf(where, sizeof where, "station %d %c%04d: ", key[0],
                              "PMLKFTCDS"[key[1]], key[2]);
                JournalProblem(
                    where + Describe(host_[pairs[i].second]) +
                    Fmt(", applied at %.2f s after ", plc_[pairs[i].first].t - kMonoEpoch) +
                    Describe(host_[pairs[i - 1].second]) +
                    Fmt(", applied at %.2f s (run %.0f)", plc_[pairs[i - 1].first].t - kMonoEpoch,
                        run));
            }
    }
}

void Soak::SampleResources() {
    samples_.push_back(TakeSample());
    if (verbose_)
        std::fprintf(stderr, "%8.2f sample: RSS %ld kB, %ld descriptors, %ld threads, CPU %.3f s\n",
                     Now(), samples_.back().rssKb, samples_.back().fds, samples_.back().threads,
                     samples_.back().cpuS);
}

// The end of an engine's life: the judgement of its writes at the PLC, and DrvStop with the
// accounting of its writes.
void Soak::EndEpoch(bool serviceKilled) {
    std::vector<long> applied, replaceable;
    Judge(serviceKilled, applied, replaceable);
    for (std::size_t i = 0; i < stations_.size(); ++i) {
        Station& s = stations_[i];
        e2e::Module::Stats st = module_.Statistics(index_, s.name.c_str());
        placed_ += st.writes;
        failed_ += st.writeFailures;
        appliedTotal_ += applied[i];
        const long unplaced = s.accepted - st.writes;
        discarded_ += unplaced;
        // A timed-out write goes out again: a station that never answers may take more requests
        // than writes.
        bool ok = st.writeFailures <= st.writes && (unplaced >= 0 || !s.readable);
        if (!s.readable) {
            // A station that fails every request takes the writes of a word one failure at a
            // time (a time-out each when it never answers): the stop finds a backlog unsent and
            // the last requests unanswered. None of it may reach a PLC.
            ok = ok && applied[i] == 0;
        } else {
            // Nothing but writes a newer one replaced, and what the board could not take since
            // the service went away (and what a time-out before it held back), may be unplaced.
            ok = ok && unplaced <= replaceable[i] + (serviceKilled ? s.acceptedSinceCut : 0);
            if (s.silent.empty() && !serviceKilled) ok = ok && st.writeFailures == 0;
            // The PLC applied what was answered without error; a kill may cut answers off.
            ok = ok && (serviceKilled ? applied[i] <= st.writes
                                      : applied[i] == st.writes - st.writeFailures);
        }
        if (!ok) {
            ++accountingBad_;
            char buf[200];
            std::snprintf(buf, sizeof buf,
                          "epoch %d %s: accepted %ld placed %d failed %d applied %ld; ", epochs_,
                          s.name.c_str(), s.accepted, st.writes, st.writeFailures, applied[i]);
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
    cutCycle_ = cycles_ - kUnsentCycles;
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
        // The restart and a check after it fit in the last 15 s.
        if (Now() >= nextKill && Now() < end - 15) {
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
    Add("every write answered or its failure told, and applied at the PLC if answered",
        accountingBad_ == 0 && writes_ == accepted + refused_ && placed_ > 0,
        Fmt("%.0f writes: %.0f answered, %.0f failed (statistics, messages 7/8), %.0f refused (-1)",
            writes_, placed_ - failed_, failed_, refused_) +
            Fmt(", %.0f not placed (dropped by DrvStop after the service was killed, or replaced); "
                "%.0f applied at the PLC (journal)",
                discarded_, appliedTotal_) +
            (accountingNote_.empty() ? "" : "; " + accountingNote_));
    Add("every accepted write applied at the PLC in the host's order, or explained (journal)",
        runsJudged_ > 0 && matched_ > 0 && unexplained_ == 0 && strays_ == 0 && disorder_ == 0 &&
            judged_ == accepted,
        Fmt("%.0f runs, %.0f accepted writes: %.0f applied, %.0f replaced by a newer write of the "
            "same words, ",
            runsJudged_, judged_, matched_, replaced_) +
            Fmt("%.0f lost around a silence, %.0f discarded with the killed service, %.0f to "
                "stations that apply none; ",
                lostToSilence_, discardedAtKill_, notApplied_) +
            Fmt("%.0f missing unexplained, %.0f applied that the host never wrote there or not in "
                "its order, %.0f words out of the host's order",
                unexplained_, strays_, disorder_) +
            (firstJournalProblem_.empty() ? "" : " (first: " + firstJournalProblem_ + ")"));
    Add("the PLC holds what the host's accepted writes leave, after quiet periods (journal)",
        plcCompared_ > 0 && plcDiffer_ == 0,
        Fmt("%.0f checks, %.0f values compared, %.0f differ", checks_, plcCompared_, plcDiffer_) +
            (firstPlcDiff_.empty() ? "" : " (first: " + firstPlcDiff_ + ")"));
    Add("values delivered to the host equal the PLC's memory after quiet periods (journal)",
        deliveredCompared_ > 0 && deliveredDiffer_ == 0,
        Fmt("%.0f values compared, %.0f differ", deliveredCompared_, deliveredDiffer_) +
            (firstDeliveredDiff_.empty() ? "" : " (first: " + firstDeliveredDiff_ + ")"));
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
    Add("values at the PLC and delivered equal after each recovery",
        !silences_.empty() && equal == n, Fmt("%.0f of %.0f", equal, n));
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
    bool flat = false;
    std::string res = Fmt("%.0f samples after warm-up, a trend needs 2", steady.size());
    if (steady.size() >= 2) {
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
    if (!opt_.resourceChecks) res += " (under sanitizers: their own memory)";
    Add("memory, descriptors, threads flat after warm-up",
        !opt_.resourceChecks || steady.size() < 2 ? Verdict::NotJudged
        : flat                                    ? Verdict::Pass
                                                  : Verdict::Fail,
        res);
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
    Add("CPU per cycle steady",
        !judged                       ? Verdict::NotJudged
        : late <= 1.25 * early + 0.05 ? Verdict::Pass
                                      : Verdict::Fail,
        cpu.empty() ? std::string("no windows")
                    : Fmt("%.0f windows: median %.3f ms, min %.3f, max %.3f; ", cpu.size(),
                          median(cpu), *std::min_element(cpu.begin(), cpu.end()),
                          *std::max_element(cpu.begin(), cpu.end())) +
                          Fmt("earlier half %.3f, later half %.3f (steady: later <= 1.25 x "
                              "earlier + 0.05 ms)",
                              early, late) +
                          (opt_.resourceChecks ? "" : " (under sanitizers: their own time)") +
                          (cpu.size() >= kTrendWindows ? ""
                                                       : Fmt(" (%.0f windows, a trend needs %.0f)",
                                                             cpu.size(), kTrendWindows)));

    std::printf("\n| Check | Result | Figures |\n|---|---|---|\n");
    bool all = true;
    for (auto& r : rows_) {
        all = all && r.verdict != Verdict::Fail;
        std::printf("| %s | %s | %s |\n", r.check.c_str(),
                    r.verdict == Verdict::Pass   ? "pass"
                    : r.verdict == Verdict::Fail ? "FAIL"
                                                 : "not judged",
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
        else if (a == "--overlapping-tags" || a == "--no-overlapping-tags")
            o.overlappingTags = a == "--overlapping-tags";
        else {
            std::fprintf(stderr,
                         "usage: qx_soak --config JSON --scenario JSON [--minutes M | --seconds S]"
                         " [--restart-every S (default a quarter of the run, 30..300)]"
                         " [--no-resource-checks] [--overlapping-tags]\n");
            return 2;
        }
    }
    if (o.config.empty() || o.scenario.empty() || o.seconds < 60) {
        std::fprintf(stderr, "qx_soak: --config and --scenario are required; at least 60 s\n");
        return 2;
    }
    // A quarter of the run: a short run still has its silences before the first kill.
    if (o.restartEvery <= 0) o.restartEvery = std::clamp(o.seconds / 4, 30.0, 300.0);
    Soak soak(o);
    return soak.Run();
}
