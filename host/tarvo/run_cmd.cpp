// tarvo run: drives the driver module as the host does at run time, through DrvFuncTable only,
// and shows live values, runtime messages and station statistics.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "dezudur/output.h"
#include "driver_host.h"
#include "framework/codepage.h"
#include "quorix/drv_api.h"
#include "taglist.h"
#include "tarvodbm/tagdb.h"
#include "tarvosub/tagval.h"

namespace {

using Clock = std::chrono::steady_clock;

// Exit codes, also listed in the help text.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitTagList = 3;
constexpr int kExitModule = 4;
constexpr int kExitConfig = 5;
constexpr int kExitStart = 6;
constexpr int kExitWrite = 7;

void Help(std::FILE* out) {
    std::fputs(
        "usage: tarvo run CFG TAGS [options]\n"
        "\n"
        "Loads the driver module, opens the configuration CFG, registers the tags of the list\n"
        "TAGS, starts communication and shows every value the driver delivers, the driver's\n"
        "runtime messages and a statistics line per station.\n"
        "\n"
        "TAGS is a CSV file, one tag a line: name, device, address, type[, size]\n"
        "  e.g.  Press.Count, DLU.PLC1, D0100, UINT16\n"
        "        Press.Name,  DLU.PLC1, D0120, STRING, 8\n"
        "  type: SINT8 SINT16 SINT32 UINT8 UINT16 UINT32 SBCD8 SBCD16 SBCD32 BCD8 BCD16 BCD32\n"
        "        FLOAT BIT STRING (any case) or the codes 0..14; size in bytes, needed for\n"
        "        STRING only. Bit tags: P, M, L, K, F take the bit as the last hex digit\n"
        "        (M0013: word 1, bit 3; M001A: word 1, bit 10); T, C, D, S as WORD.BIT (D0100.3).\n"
        "  '#' starts a comment line; blank lines are skipped. Statistics are shown for the\n"
        "  stations named by the tags' devices (the text after the first '.').\n"
        "\n"
        "options:\n"
        "  --module PATH          the driver module (default: libQuorix.so next to tarvo); it\n"
        "                         loads the host libraries next to itself, so use one built\n"
        "                         together with this tarvo\n"
        "  --for SECONDS          stop by itself after this long (default: run until 'quit',\n"
        "                         Ctrl-C or SIGTERM)\n"
        "  --write TAG=VALUE      write a value after start (repeatable)\n"
        "  --write-after SECONDS  when the --write values are written (default 3)\n"
        "  --stats SECONDS        statistics interval (default 5; 0: only at the end)\n"
        "  --help                 this text\n"
        "\n"
        "commands on standard input while it runs:\n"
        "  set TAG VALUE          write a value (a number, on/off for BIT, text for STRING)\n"
        "  get TAG                show a tag's current value\n"
        "  tags                   list the tags with their handles and values\n"
        "  enable STATION         resume polling and writing for one station\n"
        "  disable STATION        suspend one station\n"
        "  stats                  show the statistics now\n"
        "  stop | start           stop or restart communication\n"
        "  quit                   stop communication and end\n"
        "  help                   list these commands\n"
        "\n"
        "exit codes:\n"
        "  0  ended normally (quit, --for, Ctrl-C or SIGTERM)\n"
        "  2  wrong arguments or a --write that does not fit its tag\n"
        "  3  the tag list cannot be read or has a bad line\n"
        "  4  the driver module cannot be loaded\n"
        "  5  the driver cannot open the configuration\n"
        "  6  the driver cannot start the board (e.g. tvioctrld not running)\n"
        "  7  a --write value was not sent before the run ended, or not answered by its station\n",
        out);
}

// --- output -------------------------------------------------------------------------------------

std::mutex gOutMu;

std::string Stamp() {
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms.count()));
    return buf;
}

// One line with a time stamp; called from the host thread and the driver's threads.
void Line(const std::string& text) {
    std::lock_guard<std::mutex> lock(gOutMu);
    std::fprintf(stdout, "%s %s\n", Stamp().c_str(), text.c_str());
    std::fflush(stdout);
}

void Error(const std::string& text) {
    std::lock_guard<std::mutex> lock(gOutMu);
    std::fflush(stdout);
    std::fprintf(stderr, "tarvo run: %s\n", text.c_str());
}

std::string UpperAscii(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// --- options ------------------------------------------------------------------------------------

struct PendingWrite {
    std::string tag;
    std::string value;
};

struct Options {
    std::string cfg;
    std::string tags;
    std::string module;
    double forSeconds = -1;  // < 0: until told to stop
    double writeAfter = 3;
    double statsSeconds = 5;
    std::vector<PendingWrite> writes;
    bool help = false;
};

bool ParseSeconds(const std::string& text, double& out) {
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text.c_str(), &end);
    if (text.empty() || errno != 0 || *end != '\0' || !(v >= 0) || v > 1e7) return false;
    out = v;
    return true;
}

bool ParseOptions(const Args& args, Options& o, std::string& error) {
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--module") {
            if (!value(o.module)) return false;
        } else if (a == "--for" || a == "--write-after" || a == "--stats") {
            if (!value(v)) return false;
            double* target = a == "--for"     ? &o.forSeconds
                             : a == "--stats" ? &o.statsSeconds
                                              : &o.writeAfter;
            if (!ParseSeconds(v, *target)) {
                error = a + ": '" + v + "' is not a number of seconds";
                return false;
            }
        } else if (a == "--write") {
            if (!value(v)) return false;
            std::size_t eq = v.find('=');
            if (eq == std::string::npos || eq == 0) {
                error = "--write wants TAG=VALUE, got '" + v + "'";
                return false;
            }
            o.writes.push_back({v.substr(0, eq), v.substr(eq + 1)});
        } else if (a.size() > 1 && a[0] == '-') {
            error = "unknown option " + a;
            return false;
        } else {
            positional.push_back(a);
        }
    }
    if (o.help) return true;
    if (positional.size() != 2) {
        error = "expected CFG and TAGS";
        return false;
    }
    o.cfg = positional[0];
    o.tags = positional[1];
    // A write the run ends before would be dropped without a word.
    if (!o.writes.empty() && o.forSeconds >= 0 && o.writeAfter >= o.forSeconds) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "--write is sent after %g s (--write-after), but the run ends after %g s "
                      "(--for): give --write-after a shorter time or --for a longer one",
                      o.writeAfter, o.forSeconds);
        error = text;
        return false;
    }
    return true;
}

// --- the run ------------------------------------------------------------------------------------

struct RunTag {
    tarvo::TagSpec spec;
    std::int32_t id = 0;       // host tag id
    std::int32_t handle = -1;  // driver tag handle; -1 when the driver refused the tag
};

class Runner {
public:
    explicit Runner(Options o) : opt_(std::move(o)) {}
    ~Runner() { Shutdown(); }
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    int Run();

private:
    template <class F>
    F Fn(int slot) const {
        return reinterpret_cast<F>(table_[slot]);
    }
    int Prepare();
    void Loop();
    bool Command(const std::string& line);  // false: quit
    void ShowStats();
    int CheckWrites();
    void ApplyWrite(const std::string& tag, const std::string& value);
    RunTag* FindTag(const std::string& name);
    bool StationKnown(const std::string& nameCp949);
    void SetRunning(bool on);
    void Shutdown();

    struct WriteBase {
        std::int32_t requests = 0, failures = 0;
        int count = 0;
    };

    Options opt_;
    std::map<std::string, WriteBase> writeBase_;  // by station (UTF-8), for --write
    Clock::time_point writtenAt_;
    std::vector<RunTag> tags_;
    std::map<std::int32_t, std::size_t> byId_;  // fixed before the driver's threads run
    std::vector<std::string> stations_;         // UTF-8, in order of first use
    std::set<std::string> disabled_;            // upper case, as the driver compares them
    void* module_ = nullptr;
    void** table_ = nullptr;
    std::int32_t index_ = -1;
    int listener_ = 0;
    bool sinkSet_ = false;
    bool started_ = false;
    bool running_ = false;
    bool activated_ = false;
    bool stdinOpen_ = true;
    std::string inBuf_;
};

int Runner::Run() {
    // From here on, Ctrl-C ends the run through Shutdown, also while the board starts.
    tarvo::SignalGuard signals;
    int rc = Prepare();
    if (rc != kExitOk) return rc;
    Loop();
    ShowStats();
    rc = CheckWrites();
    Shutdown();
    return rc;
}

// The --write values must have gone out and been answered by the end of the run. The
// statistics count a write when it is sent and a failure when it is refused or times out (5 s,
// then it is sent again), so a write is answered once it was sent and no failure came within
// that time: the run waits out what is left of it.
int Runner::CheckWrites() {
    if (opt_.writes.empty()) return kExitOk;
    if (writeBase_.empty()) {
        Error("the run ended before the --write values were written (--write-after)");
        return kExitWrite;
    }
    auto getStats = Fn<drv::GetStatisticsFn>(drv::kGetStatistics);
    const auto until = writtenAt_ + std::chrono::milliseconds(5500);
    if (until - Clock::now() > std::chrono::milliseconds(500))
        Line("waiting for the answers to the --write values");
    int rc = kExitOk;
    for (const auto& [station, base] : writeBase_) {
        bool sent = false, failed = false;
        while (true) {
            std::int32_t wr = 0, wf = 0, rr = 0, rf = 0;
            getStats(index_, Utf8ToCp949(station).c_str(), &wr, &wf, &rr, &rf);
            sent = wr - base.requests >= base.count;
            failed = wf > base.failures;
            if (failed || Clock::now() >= until) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (failed)
            Error("a --write to station " + station +
                  " failed or was not answered (see the messages above)");
        else if (!sent)
            Error("a --write to station " + station + " was not sent before the run ended");
        if (failed || !sent) rc = kExitWrite;
    }
    return rc;
}

int Runner::Prepare() {
    // The tag list first: a typing error should not cost a board start.
    std::vector<tarvo::TagSpec> specs;
    std::string error;
    if (!tarvo::LoadTagList(opt_.tags, specs, error)) {
        Error(error);
        return kExitTagList;
    }
    for (auto& s : specs) {
        std::string station = tarvo::StationOfDevice(s.device);
        bool seen = false;
        for (auto& st : stations_) seen = seen || st == station;
        if (!seen) stations_.push_back(station);
        tags_.push_back(RunTag{std::move(s), 0, -1});
    }
    for (auto& w : opt_.writes) {
        RunTag* t = FindTag(w.tag);
        CTagVal probe;
        if (!t) {
            Error("--write: no tag " + w.tag + " in " + opt_.tags);
            return kExitUsage;
        }
        if (!tarvo::ParseWriteValue(t->spec, w.value, probe, error)) {
            Error("--write " + w.tag + ": " + error);
            return kExitUsage;
        }
    }

    std::string modulePath;
    table_ = tarvo::LoadDriverModule(opt_.module, module_, modulePath, error);
    if (!table_) {
        Error(error);
        return kExitModule;
    }

    DezSetSink([](std::int32_t, std::int32_t classWord, const std::string& raw) {
        Line(std::string("msg ") + DezClassName(classWord) + ": " + Cp949ToUtf8(raw));
    });
    sinkSet_ = true;

    auto name = Fn<drv::GetNameFn>(drv::kGetName)();
    Line(std::string("driver ") + (name ? name : "?") + " loaded from " + modulePath);
    // A path is the file system's name, handed on unchanged (as tarvo setup does).
    index_ = Fn<drv::OpenFn>(drv::kOpen)(opt_.cfg.c_str());
    if (index_ < 0) {
        Error("the driver cannot open the configuration " + opt_.cfg);
        return kExitConfig;
    }

    CTagDatabase& db = CTagDatabase::Instance();
    for (std::size_t i = 0; i < tags_.size(); ++i) {
        tags_[i].id = db.AddTag(Utf8ToCp949(tags_[i].spec.name));
        byId_[tags_[i].id] = i;
    }

    std::int32_t rc = Fn<drv::StartFn>(drv::kStart)(index_);
    started_ = true;
    if (rc != 0) {
        Error(tarvo::StartFailureText(rc));
        return kExitStart;
    }

    auto registerTag = Fn<drv::RegisterTagFn>(drv::kRegisterTag);
    const auto registerStart = Clock::now();
    int refused = 0;
    for (auto& t : tags_) {
        t.handle =
            registerTag(index_, Utf8ToCp949(t.spec.device).c_str(),
                        Utf8ToCp949(t.spec.address).c_str(), t.spec.dataType, t.spec.size, t.id);
        if (t.handle < 0) ++refused;
    }
    Fn<drv::EndRegistrationFn>(drv::kEndRegistration)(index_);
    {
        std::ostringstream msg;
        const std::chrono::duration<double> took = Clock::now() - registerStart;
        msg << tags_.size() - refused << " of " << tags_.size() << " tags registered in "
            << std::fixed << std::setprecision(2) << took.count() << " s";
        if (refused) msg << " (" << refused << " refused, see the messages above)";
        Line(msg.str());
    }

    listener_ = db.AddListener([this](std::int32_t tagId, const CTagVal& value) {
        auto it = byId_.find(tagId);
        if (it == byId_.end()) return;
        Line(tags_[it->second].spec.name + " = " + tarvo::ShowValue(value));
    });
    SetRunning(true);
    return kExitOk;
}

void Runner::SetRunning(bool on) {
    Fn<drv::SetActiveFn>(drv::kSetActive)(index_, nullptr, on ? 1 : 0);
    running_ = on;
    activated_ = activated_ || on;
}

void Runner::Loop() {
    const Clock::time_point t0 = Clock::now();
    auto after = [&](double s) {
        return t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    };
    const bool hasEnd = opt_.forSeconds >= 0;
    const Clock::time_point end = hasEnd ? after(opt_.forSeconds) : Clock::time_point::max();
    bool writesDone = opt_.writes.empty();
    const Clock::time_point writeAt = after(opt_.writeAfter);
    Clock::time_point nextStats =
        opt_.statsSeconds > 0 ? after(opt_.statsSeconds) : Clock::time_point::max();
    if (::isatty(STDIN_FILENO)) Line("type 'help' for commands");

    while (true) {
        Clock::time_point now = Clock::now();
        if (!writesDone && now >= writeAt) {
            // Each station's counts before, to tell at the end whether the writes went out.
            auto getStats = Fn<drv::GetStatisticsFn>(drv::kGetStatistics);
            for (auto& w : opt_.writes) {
                const std::string station = tarvo::StationOfDevice(FindTag(w.tag)->spec.device);
                WriteBase& base = writeBase_[station];
                if (base.count++ == 0) {
                    std::int32_t rr = 0, rf = 0;
                    getStats(index_, Utf8ToCp949(station).c_str(), &base.requests, &base.failures,
                             &rr, &rf);
                }
            }
            for (auto& w : opt_.writes) ApplyWrite(w.tag, w.value);
            writesDone = true;
            writtenAt_ = Clock::now();
        }
        // Due writes go out even when the end has come in the same wake-up.
        if (now >= end) return;
        if (now >= nextStats) {
            ShowStats();
            while (nextStats <= now)
                nextStats += std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(opt_.statsSeconds));
        }
        Clock::time_point wake = std::min(end, nextStats);
        if (!writesDone) wake = std::min(wake, writeAt);
        long long waitMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();
        int timeout = static_cast<int>(std::clamp<long long>(waitMs + 1, 0, 1000));

        pollfd fds[2] = {{tarvo::SignalGuard::Fd(), POLLIN, 0},
                         {stdinOpen_ ? STDIN_FILENO : -1, POLLIN, 0}};
        int n = ::poll(fds, 2, timeout);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents & POLLIN) {
            unsigned char sig = 0;
            (void)!::read(tarvo::SignalGuard::Fd(), &sig, 1);
            Line(std::string("stopping (") + (sig == SIGINT ? "interrupted" : "terminated") + ")");
            return;
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[4096];
            ssize_t got = ::read(STDIN_FILENO, buf, sizeof buf);
            if (got <= 0) {
                if (got < 0 && errno == EINTR) continue;
                // End of input: a scripted run goes on until --for or a signal ends it.
                stdinOpen_ = false;
                if (!inBuf_.empty() && !Command(inBuf_)) return;
                inBuf_.clear();
                continue;
            }
            inBuf_.append(buf, static_cast<std::size_t>(got));
            std::size_t nl;
            while ((nl = inBuf_.find('\n')) != std::string::npos) {
                std::string line = inBuf_.substr(0, nl);
                inBuf_.erase(0, nl + 1);
                if (!Command(line)) return;
            }
        }
    }
}

RunTag* Runner::FindTag(const std::string& name) {
    for (auto& t : tags_)
        if (t.spec.name == name) return &t;
    return nullptr;
}

bool Runner::StationKnown(const std::string& nameCp949) {
    // GetStationInfo assigns its outputs only for a station of the configuration.
    std::string number = "\x01", desc;
    Fn<drv::GetStationInfoFn>(drv::kGetStationInfo)(index_, nameCp949.c_str(), &number, &desc);
    return number != "\x01";
}

void Runner::ApplyWrite(const std::string& tagName, const std::string& text) {
    RunTag* t = FindTag(tagName);
    if (!t) {
        Error("no tag " + tagName);
        return;
    }
    if (t->handle < 0) {
        Error("tag " + tagName + " was refused by the driver; it cannot be written");
        return;
    }
    CTagVal value;
    std::string error;
    // The file and the console are UTF-8; the driver wants CP949 text.
    if (!tarvo::ParseWriteValue(t->spec, Utf8ToCp949(text), value, error)) {
        Error(tagName + ": " + Cp949ToUtf8(error));
        return;
    }
    Fn<drv::WriteTagFn>(drv::kWriteTag)(index_, t->handle, &value);
    std::string station = tarvo::StationOfDevice(t->spec.device);
    // The driver drops writes for a disabled station without a word; say so here.
    Line("write " + tagName + " <- " + tarvo::ShowValue(value) +
         (disabled_.count(UpperAscii(station)) ? " (dropped: station " + station + " is disabled)"
                                               : ""));
}

bool Runner::Command(const std::string& raw) {
    std::string line = raw;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream in(line);
    std::string cmd;
    if (!(in >> cmd)) return true;
    std::string arg;
    in >> arg;
    std::string rest;
    std::getline(in, rest);
    std::size_t b = rest.find_first_not_of(" \t");
    rest = b == std::string::npos ? "" : rest.substr(b);

    if (cmd == "quit" || cmd == "exit") return false;
    if (cmd == "help") {
        std::lock_guard<std::mutex> lock(gOutMu);
        std::fputs(
            "  set TAG VALUE | get TAG | tags | enable STATION | disable STATION | stats |\n"
            "  stop | start | quit\n",
            stdout);
        std::fflush(stdout);
    } else if (cmd == "set") {
        if (arg.empty() || rest.empty())
            Error("usage: set TAG VALUE");
        else
            ApplyWrite(arg, rest);
    } else if (cmd == "get") {
        RunTag* t = FindTag(arg);
        CTagVal v;
        if (!t)
            Error("no tag " + arg);
        else if (CTagDatabase::Instance().GetValue(t->id, v))
            Line(t->spec.name + " = " + tarvo::ShowValue(v));
    } else if (cmd == "tags") {
        for (auto& t : tags_) {
            CTagVal v;
            CTagDatabase::Instance().GetValue(t.id, v);
            char head[64];
            if (t.handle >= 0)
                std::snprintf(head, sizeof head, "handle 0x%08X", static_cast<unsigned>(t.handle));
            else
                std::snprintf(head, sizeof head, "refused        ");
            Line(std::string(head) + "  " + t.spec.name + " " + t.spec.device + " " +
                 t.spec.address + " " + tarvo::DataTypeName(t.spec.dataType) + " = " +
                 tarvo::ShowValue(v));
        }
    } else if (cmd == "enable" || cmd == "disable") {
        if (arg.empty()) {
            Error("usage: " + cmd + " STATION");
        } else if (!StationKnown(Utf8ToCp949(arg))) {
            Error("no station " + arg + " in the configuration");
        } else {
            Fn<drv::SetActiveFn>(drv::kSetActive)(index_, Utf8ToCp949(arg).c_str(),
                                                  cmd == "enable" ? 1 : 0);
            if (cmd == "enable")
                disabled_.erase(UpperAscii(arg));
            else
                disabled_.insert(UpperAscii(arg));
            Line("station " + arg + (cmd == "enable" ? " enabled" : " disabled"));
        }
    } else if (cmd == "stats") {
        ShowStats();
    } else if (cmd == "stop") {
        SetRunning(false);
        Line("communication stopped");
    } else if (cmd == "start") {
        SetRunning(true);
        Line("communication started");
    } else {
        Error("unknown command '" + cmd + "' (try help)");
    }
    return true;
}

void Runner::ShowStats() {
    if (!table_ || index_ < 0 || !started_) return;
    auto getStats = Fn<drv::GetStatisticsFn>(drv::kGetStatistics);
    auto getInfo = Fn<drv::GetStationInfoFn>(drv::kGetStationInfo);
    for (auto& station : stations_) {
        std::string name = Utf8ToCp949(station);
        std::int32_t wr = 0, wf = 0, rr = 0, rf = 0;
        std::int32_t state = getStats(index_, name.c_str(), &wr, &wf, &rr, &rf);
        std::string number = "\x01", desc;
        getInfo(index_, name.c_str(), &number, &desc);
        std::ostringstream msg;
        msg << "stats " << station;
        if (number == "\x01") {
            msg << ": not in the configuration";
        } else {
            msg << " (" << number << (desc.empty() ? "" : " ") << Cp949ToUtf8(desc) << ") "
                << (state < 0   ? "disabled"
                    : state > 0 ? "FAILING"
                                : "ok")
                << ": reads " << rr << " (" << rf << " failed), writes " << wr << " (" << wf
                << " failed)";
        }
        Line(msg.str());
    }
    std::int32_t wr = 0, wf = 0, rr = 0, rf = 0;
    std::int32_t state = getStats(index_, nullptr, &wr, &wf, &rr, &rf);
    std::ostringstream msg;
    msg << "stats all: "
        << (state < 0   ? (running_ ? "no station enabled" : "stopped")
            : state > 0 ? "running, a station is failing"
                        : "running, all ok")
        << ": reads " << rr << " (" << rf << " failed), writes " << wr << " (" << wf << " failed)";
    Line(msg.str());
}

void Runner::Shutdown() {
    // Communication stops before the module goes: its threads must not outlive its code.
    if (table_ && index_ >= 0 && started_) {
        Fn<drv::SetActiveFn>(drv::kSetActive)(index_, nullptr, 0);
        Fn<drv::StopFn>(drv::kStop)(index_);
        started_ = false;
        if (activated_) Line("communication stopped, driver closed");
        running_ = activated_ = false;
    }
    if (listener_) {
        CTagDatabase::Instance().RemoveListener(listener_);
        listener_ = 0;
    }
    if (module_) {
        ::dlclose(module_);
        module_ = nullptr;
        table_ = nullptr;
    }
    if (sinkSet_) {
        DezSetSink(nullptr);
        sinkSet_ = false;
    }
}

}  // namespace

int CmdRun(const Args& args) {
    Options opt;
    std::string error;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!ParseOptions(args, opt, error)) {
        std::fprintf(stderr, "tarvo run: %s\n\n", error.c_str());
        Help(stderr);
        return kExitUsage;
    }
    if (opt.help) {
        Help(stdout);
        return kExitOk;
    }
    Runner runner(std::move(opt));
    return runner.Run();
}
