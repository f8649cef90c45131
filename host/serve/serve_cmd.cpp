// tarvo serve: loads the driver module through DrvFuncTable as tarvo run does, registers the
// tags, starts communication, and hands every value to the broker and the web view.
#include <dlfcn.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <poll.h>
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "commands.h"
#include "dezudur/output.h"
#include "driver_host.h"
#include "framework/codepage.h"
#include "mqtt_bridge.h"
#include "platform/options_file.h"
#include "quorix/drv_api.h"
#include "serve.h"
#include "tarvodbm/tagdb.h"
#include "value_board.h"
#include "web_view.h"

namespace serve {

namespace {

std::mutex gLogMu;

std::int64_t UnixMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void Log(const std::string& text) {
    std::lock_guard<std::mutex> lock(gLogMu);
    std::fprintf(stdout, "%s %s\n", IsoTime(UnixMs()).c_str(), text.c_str());
    std::fflush(stdout);
}

void LogError(const std::string& text) {
    std::lock_guard<std::mutex> lock(gLogMu);
    std::fflush(stdout);
    std::fprintf(stderr, "%s %s\n", IsoTime(UnixMs()).c_str(), text.c_str());
}

std::string JsonString(const std::string& utf8) {
    return nlohmann::json(utf8).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool WriteValueText(const std::string& payload, std::string& text, std::string& error,
                    std::string* requestId) {
    // The JSON parser ends its input at a zero byte: "7\0x" would be 7.
    if (payload.find('\0') != std::string::npos) {
        error = "the payload holds a zero byte";
        return false;
    }
    const auto j = nlohmann::json::parse(payload, nullptr, false);
    if (j.is_discarded()) {  // plain text: 123, on, a word
        text = payload;
        return true;
    }
    const nlohmann::json* v = &j;
    if (j.is_object()) {
        if (requestId && j.contains("id")) *requestId = j["id"].dump();
        if (!j.contains("value")) {
            error = "the payload is an object without \"value\"";
            return false;
        }
        v = &j["value"];
    }
    if (v->is_string())
        text = v->get<std::string>();
    else if (v->is_boolean())
        text = v->get<bool>() ? "1" : "0";
    else if (v->is_number())
        text = v->dump();
    else {
        error = "the value is neither a number, a text nor true/false";
        return false;
    }
    if (text.find('\0') != std::string::npos) {
        error = "the value holds a zero byte";
        return false;
    }
    return true;
}

namespace {

constexpr int kExitOk = 0, kExitUsage = 2, kExitTagList = 3, kExitModule = 4, kExitConfig = 5,
              kExitStart = 6, kExitOutside = 7;

const char kHelp[] =
    "usage: tarvo serve CFG TAGS [options]\n"
    "       tarvo serve --config FILE [options]\n"
    "\n"
    "The plant runtime: loads the driver module, opens the configuration CFG, registers the\n"
    "tags of the list TAGS, starts communication, and publishes every value the driver\n"
    "delivers to an MQTT broker and on a live web view, until SIGTERM or Ctrl-C.\n"
    "\n"
    "TAGS is the tag list of tarvo run; a sixth column \"rw\" marks a tag writable from outside:\n"
    "  Press.Setpoint, DLU.PLC1, D0101, UINT16, , rw\n"
    "\n"
    "MQTT (topics under PREFIX):\n"
    "  PREFIX/status                 \"online\" while it runs, \"offline\" (also the last will)\n"
    "  PREFIX/tags/TAG               {\"value\":..,\"quality\":\"good\"|\"bad\",\"time\":..} "
    "retained\n"
    "  PREFIX/tags/TAG/set           a write: 123, \"text\", on/off, or {\"value\":..,\"id\":..}\n"
    "  PREFIX/tags/TAG/result        its result: "
    "{\"ok\":..,\"result\":..,\"text\":..[,\"id\":..]},\n"
    "                                with the request's correlation data (MQTT 5)\n"
    "  PREFIX/stations/STATION       state and statistics, retained\n"
    "  PREFIX/messages               the driver's messages\n"
    "  TAG is the tag's name with '/', '+' and '#' as '_'.\n"
    "\n"
    "options:\n"
    "  --config FILE          options from FILE first, one \"name = value\" a line (names of\n"
    "                         the options below without dashes; cfg and tags for CFG and TAGS)\n"
    "  --broker URL           mqtt://HOST[:PORT] or mqtts://HOST[:PORT]\n"
    "                         (default mqtt://localhost:1883)\n"
    "  --prefix TOPIC         topic prefix (default quorix/HOSTNAME)\n"
    "  --client-id ID         MQTT client id (default tarvo-serve:PREFIX)\n"
    "  --credentials FILE     \"username = ...\" and \"password = ...\" lines\n"
    "  --ca-file FILE         the broker's CA certificate, for mqtts://\n"
    "  --cert-file FILE, --key-file FILE   a client certificate and its key, for mqtts://\n"
    "  --http ADDRESS:PORT    the web view (default 127.0.0.1:8080; off: none)\n"
    "  --writes               take writes from the broker and the web view, for the tags\n"
    "                         marked rw (default: off)\n"
    "  --stats SECONDS        station statistics every so often (default 5)\n"
    "  --module PATH          the driver module (default: libQuorix.so next to tarvo)\n"
    "  --for SECONDS          stop by itself after this long\n"
    "  --help                 this text\n"
    "\n"
    "exit codes: 0 stopped; 2 wrong arguments or settings; 3 no usable tag; 4 the module cannot\n"
    "be loaded; 5 the configuration cannot be opened; 6 the board does not start; 7 the\n"
    "broker or web view settings cannot be used.\n";

struct Options {
    std::string cfg, tags, module, http = "127.0.0.1:8080";
    MqttSettings mqtt;
    bool writes = false, help = false;
    double statsSeconds = 5, forSeconds = -1;
};

std::string HostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0 || !buf[0]) return "localhost";
    return buf;
}

bool ParseOptions(const Args& raw, Options& o, std::string& error) {
    std::vector<plat::OptionWord> args;
    for (const auto& a : raw) args.push_back({a, {}});
    if (!plat::MergeOptionsFile(
            args, {"writes"},
            {"cfg", "tags", "broker", "prefix", "client-id", "credentials", "ca-file", "cert-file",
             "key-file", "http", "stats", "module", "for"},
            {}, error))
        return false;
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i].text;
        const std::string where = args[i].where.empty() ? "" : args[i].where + ": ";
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = where + a + " needs a value";
                return false;
            }
            out = args[++i].text;
            return true;
        };
        auto seconds = [&](double& out) {
            std::string v;
            if (!value(v)) return false;
            char* end = nullptr;
            const double d = std::strtod(v.c_str(), &end);
            if (v.empty() || *end || !(d >= 0) || d > 1e7) {
                error = where + a + ": '" + v + "' is not a number of seconds";
                return false;
            }
            out = d;
            return true;
        };
        bool ok = true;
        if (a == "--help" || a == "-h")
            o.help = true;
        else if (a == "--cfg")
            ok = value(o.cfg);
        else if (a == "--tags")
            ok = value(o.tags);
        else if (a == "--module")
            ok = value(o.module);
        else if (a == "--broker")
            ok = value(o.mqtt.url);
        else if (a == "--prefix")
            ok = value(o.mqtt.prefix);
        else if (a == "--client-id")
            ok = value(o.mqtt.clientId);
        else if (a == "--credentials")
            ok = value(o.mqtt.credentialsFile);
        else if (a == "--ca-file")
            ok = value(o.mqtt.caFile);
        else if (a == "--cert-file")
            ok = value(o.mqtt.certFile);
        else if (a == "--key-file")
            ok = value(o.mqtt.keyFile);
        else if (a == "--http")
            ok = value(o.http);
        else if (a == "--writes")
            o.writes = true;
        else if (a == "--stats")
            ok = seconds(o.statsSeconds);
        else if (a == "--for")
            ok = seconds(o.forSeconds);
        else if (a.size() > 1 && a[0] == '-') {
            error = where + "unknown option " + a;
            return false;
        } else
            positional.push_back(a);
        if (!ok) return false;
    }
    if (o.help) return true;
    if (positional.size() == 2 && o.cfg.empty() && o.tags.empty()) {
        o.cfg = positional[0];
        o.tags = positional[1];
    } else if (!positional.empty() || o.cfg.empty() || o.tags.empty()) {
        error = "expected CFG and TAGS (or cfg and tags in the --config file)";
        return false;
    }
    if (o.statsSeconds < 0.5) o.statsSeconds = 0.5;
    const std::string host = HostName();
    if (o.mqtt.prefix.empty()) o.mqtt.prefix = "quorix/" + host;
    // One client id a prefix: two gateways of one machine do not take each other's session.
    if (o.mqtt.clientId.empty()) o.mqtt.clientId = "tarvo-serve:" + o.mqtt.prefix;
    return true;
}

std::string TopicLevel(const std::string& name) {
    std::string t = name;
    for (char& c : t)
        if (c == '/' || c == '+' || c == '#') c = '_';
    return t;
}

class CServe : public IWriter {
public:
    explicit CServe(Options o) : opt_(std::move(o)) {}
    ~CServe() override { Shutdown(); }
    int Run();
    WriteOutcome Write(long tag, const std::string& valueText) override;

private:
    template <class F>
    F Fn(int slot) const {
        return reinterpret_cast<F>(table_[slot]);
    }
    int Prepare();
    int RegisterTags();  // the tags not registered
    bool Restart();      // false: a stop signal came first
    void Loop();
    void PollStations(bool publishAll);
    void OnMessage(std::int32_t classWord, const std::string& raw);
    void FlushWriteLog();
    void Shutdown();

    Options opt_;
    std::vector<Tag> tags_;
    std::vector<std::string> stations_;  // UTF-8
    std::vector<std::vector<std::size_t>> stationTags_;
    std::vector<int> stationState_;  // -2 unknown, -1 disabled, 0 ok, 1 failing
    std::vector<std::size_t> byId_;  // host tag id -> tag index + 1
    std::unique_ptr<CValueBoard> board_;
    CPlantState state_;
    std::unique_ptr<CMqttBridge> mqtt_;
    std::unique_ptr<CWebView> web_;
    void* module_ = nullptr;
    void** table_ = nullptr;
    std::int32_t index_ = -1;
    int listener_ = 0;
    bool sinkSet_ = false, started_ = false;
    std::atomic<bool> listenerSet_{false};
    // Writes wait for communication: until the first registration, while the service is away,
    // and from the stop on. Set and cleared under writeMu_, with the handles.
    std::atomic<bool> paused_{true};
    std::atomic<bool> serviceLost_{false};  // message 12 while running
    std::mutex writeMu_;
    std::chrono::steady_clock::time_point writeLogWindow_;  // under writeMu_
    int writesLogged_ = 0, writesUnlogged_ = 0;
};

int CServe::Run() {
    tarvo::SignalGuard signals;
    const int rc = Prepare();
    if (rc == kExitOk) Loop();
    Shutdown();
    return rc;
}

int CServe::Prepare() {
    // The tag list first: a line it cannot use is said and left out, the others served.
    std::string text, error;
    std::vector<tarvo::TagSpec> specs;
    if (!tarvo::ReadTagListFile(opt_.tags, text, error)) {
        LogError("tarvo serve: " + error);
        return kExitTagList;
    }
    for (const auto& e : tarvo::ParseTagListLines(text, specs))
        LogError("tarvo serve: " + opt_.tags + ": " + e + "; the line is left out");

    std::map<std::string, std::string> topics;  // topic level -> the tag that has it
    for (auto& s : specs) {
        Tag t;
        t.topicName = TopicLevel(s.name);
        // A topic is UTF-8 and names one tag.
        if (mosquitto_validate_utf8(t.topicName.c_str(), static_cast<int>(t.topicName.size())) !=
            MOSQ_ERR_SUCCESS) {
            LogError("tarvo serve: " + opt_.tags + ": line " + std::to_string(s.line) +
                     ": the tag name is not UTF-8 text without control characters; the line is "
                     "left out");
            continue;
        }
        if (auto [at, fresh] = topics.emplace(t.topicName, s.name); !fresh) {
            LogError("tarvo serve: " + opt_.tags + ": line " + std::to_string(s.line) + ": tag " +
                     s.name + " would publish on the topic of tag " + at->second +
                     "; the line is left out");
            continue;
        }
        const std::string station = tarvo::StationOfDevice(s.device);
        auto it = std::find(stations_.begin(), stations_.end(), station);
        t.station = static_cast<std::size_t>(it - stations_.begin());
        if (it == stations_.end()) {
            stations_.push_back(station);
            stationTags_.emplace_back();
        }
        stationTags_[t.station].push_back(tags_.size());
        t.spec = std::move(s);
        tags_.push_back(std::move(t));
    }
    if (tags_.empty()) {
        LogError("tarvo serve: " + opt_.tags + " has no tag to serve");
        return kExitTagList;
    }
    stationState_.assign(stations_.size(), -2);
    board_ = std::make_unique<CValueBoard>(tags_.size());

    mqtt_ = std::make_unique<CMqttBridge>(opt_.mqtt, *board_, tags_, *this);
    if (!mqtt_->Prepare(error)) {
        LogError("tarvo serve: " + error);
        return kExitOutside;
    }
    if (opt_.http != "off" && opt_.http != "none") {
        web_ = std::make_unique<CWebView>(tags_, stations_, *board_, state_, *this, opt_.writes,
                                          "Quorix · " + opt_.mqtt.prefix);
        if (!web_->Start(opt_.http, error)) {
            LogError("tarvo serve: " + error);
            return kExitOutside;
        }
    }

    std::string modulePath;
    table_ = tarvo::LoadDriverModule(opt_.module, module_, modulePath, error);
    if (!table_) {
        LogError("tarvo serve: " + error);
        return kExitModule;
    }
    DezSetSink([this](std::int32_t, std::int32_t classWord, const std::string& raw) {
        OnMessage(classWord, raw);
    });
    sinkSet_ = true;
    index_ = Fn<drv::OpenFn>(drv::kOpen)(opt_.cfg.c_str());
    if (index_ < 0) {
        LogError("tarvo serve: the driver cannot open the configuration " + opt_.cfg);
        return kExitConfig;
    }
    CTagDatabase& db = CTagDatabase::Instance();
    for (auto& t : tags_) {
        t.id = db.AddTag(Utf8ToCp949(t.spec.name));
        if (byId_.size() <= static_cast<std::size_t>(t.id)) byId_.resize(t.id + 1, 0);
        byId_[t.id] = static_cast<std::size_t>(&t - tags_.data()) + 1;
    }
    const std::int32_t rc = Fn<drv::StartFn>(drv::kStart)(index_);
    started_ = true;
    if (rc != 0) {
        LogError("tarvo serve: " + tarvo::StartFailureText(rc));
        return kExitStart;
    }
    const int refused = RegisterTags();
    if (refused == static_cast<int>(tags_.size())) {
        LogError("tarvo serve: the driver refused every tag of " + opt_.tags +
                 " (see its messages above)");
        return kExitTagList;
    }
    listener_ = db.AddListener([this](std::int32_t tagId, const CTagVal& value) {
        if (tagId > 0 && static_cast<std::size_t>(tagId) < byId_.size() && byId_[tagId])
            board_->Set(byId_[tagId] - 1, value);
    });
    listenerSet_ = true;
    Fn<drv::SetActiveFn>(drv::kSetActive)(index_, nullptr, 1);
    {
        std::lock_guard<std::mutex> lock(writeMu_);
        paused_ = false;
    }
    mqtt_->Start();
    Log("serving " + std::to_string(tags_.size() - refused) + " of " +
        std::to_string(tags_.size()) + " tags (" + std::to_string(refused) +
        " refused by the driver) of " + opt_.cfg + " from " + modulePath + "; broker " +
        opt_.mqtt.url + ", topics under " + opt_.mqtt.prefix + "; web view " +
        (web_ ? "on port " + std::to_string(web_->Port()) : std::string("off")) + "; writes " +
        (opt_.writes ? "on (tags marked rw)" : "off"));
    return kExitOk;
}

int CServe::RegisterTags() {
    auto registerTag = Fn<drv::RegisterTagFn>(drv::kRegisterTag);
    int refused = 0;
    for (auto& t : tags_) {
        t.handle =
            registerTag(index_, Utf8ToCp949(t.spec.device).c_str(),
                        Utf8ToCp949(t.spec.address).c_str(), t.spec.dataType, t.spec.size, t.id);
        refused += t.handle < 0;
    }
    Fn<drv::EndRegistrationFn>(drv::kEndRegistration)(index_);
    return refused;
}

// The I/O service went away (message 12): the driver polls nothing until the host starts it
// anew, which fails while the service is away. Writes are refused meanwhile; the old handles die
// with the old start.
bool CServe::Restart() {
    {
        std::lock_guard<std::mutex> lock(writeMu_);
        paused_ = true;
    }
    Log("the I/O service went away: communication starts again once it is back (tried every 5 s)");
    Fn<drv::SetActiveFn>(drv::kSetActive)(index_, nullptr, 0);
    Fn<drv::StopFn>(drv::kStop)(index_);
    for (int attempt = 1;; ++attempt) {
        serviceLost_ = false;
        if (Fn<drv::StartFn>(drv::kStart)(index_) == 0) break;
        Fn<drv::StopFn>(drv::kStop)(index_);
        if (attempt == 1) Log("the I/O service is not back yet");
        for (int i = 0; i < 5; ++i) {
            ::sd_notify(0, "WATCHDOG=1");
            pollfd p{tarvo::SignalGuard::Fd(), POLLIN, 0};
            if (::poll(&p, 1, 1000) > 0) return false;  // the loop reads the signal
        }
    }
    const int refused = RegisterTags();
    Fn<drv::SetActiveFn>(drv::kSetActive)(index_, nullptr, 1);
    {
        std::lock_guard<std::mutex> lock(writeMu_);
        paused_ = false;
    }
    Log("communication started again: " + std::to_string(tags_.size() - refused) + " of " +
        std::to_string(tags_.size()) + " tags registered");
    return true;
}

void CServe::Loop() {
    using Clock = std::chrono::steady_clock;
    const auto t0 = Clock::now();
    auto nextStats = t0;
    ::sd_notify(0, "READY=1");
    std::uint64_t watchdogUs = 0;
    const bool watchdog = ::sd_watchdog_enabled(0, &watchdogUs) > 0;
    while (true) {
        const auto now = Clock::now();
        if (opt_.forSeconds >= 0 && now - t0 >= std::chrono::duration<double>(opt_.forSeconds))
            break;
        const bool all = now >= nextStats;
        if (all)
            nextStats =
                now + std::chrono::milliseconds(static_cast<long>(opt_.statsSeconds * 1000));
        if (serviceLost_) Restart();
        FlushWriteLog();
        PollStations(all);
        // The watchdog is fed while the broker's thread goes round too: a thread stuck for half
        // a minute (a name lookup may take a while) gets the program restarted.
        if (watchdog && mqtt_->Alive(30000)) ::sd_notify(0, "WATCHDOG=1");
        pollfd p{tarvo::SignalGuard::Fd(), POLLIN, 0};
        if (::poll(&p, 1, 1000) > 0) {
            unsigned char sig = 0;
            (void)!::read(tarvo::SignalGuard::Fd(), &sig, 1);
            Log(sig == SIGINT ? "stopping (interrupted)" : "stopping (terminated)");
            break;
        }
    }
    ::sd_notify(0, "STOPPING=1");
}

void CServe::PollStations(bool publishAll) {
    auto getStats = Fn<drv::GetStatisticsFn>(drv::kGetStatistics);
    auto getInfo = Fn<drv::GetStationInfoFn>(drv::kGetStationInfo);
    std::vector<std::string> all;
    for (std::size_t i = 0; i < stations_.size(); ++i) {
        const std::string name = Utf8ToCp949(stations_[i]);
        std::int32_t wr = 0, wf = 0, rr = 0, rf = 0;
        const std::int32_t state = getStats(index_, name.c_str(), &wr, &wf, &rr, &rf);
        std::string number = "\x01", desc;
        getInfo(index_, name.c_str(), &number, &desc);
        const bool known = number != "\x01";
        const int now = !known ? -3 : state < 0 ? -1 : state > 0 ? 1 : 0;
        const char* words = now == -3   ? "unknown"
                            : now == -1 ? "disabled"
                            : now == 1  ? "failing"
                                        : "ok";
        std::string json =
            "{\"station\":" + JsonString(stations_[i]) + ",\"state\":\"" + words + "\"";
        if (known)
            json += ",\"number\":" + JsonString(Cp949ToUtf8(number)) +
                    ",\"description\":" + JsonString(Cp949ToUtf8(desc));
        json += ",\"reads\":" + std::to_string(rr) + ",\"readFailures\":" + std::to_string(rf) +
                ",\"writes\":" + std::to_string(wr) + ",\"writeFailures\":" + std::to_string(wf) +
                ",\"time\":\"" + IsoTime(UnixMs()) + "\"}";
        const bool changed = now != stationState_[i];
        if (changed && stationState_[i] != -2) {
            Log("station " + stations_[i] +
                (now == 1   ? " lost"
                 : now == 0 ? " recovered"
                            : std::string(" ") + words));
        }
        if (changed) board_->SetGood(stationTags_[i], now != 1);
        stationState_[i] = now;
        if (changed || publishAll) mqtt_->PublishStation(TopicLevel(stations_[i]), json);
        all.push_back(std::move(json));
    }
    state_.SetStations(std::move(all));
}

void CServe::OnMessage(std::int32_t classWord, const std::string& raw) {
    static const std::string kServiceGone = Utf8ToCp949("TVIOCTRL 드라이버를 Load 할 수 없습니다.");
    if (raw.find(kServiceGone) != std::string::npos && listenerSet_) {
        // Told again at every attempt to start while the service is away: said once.
        if (serviceLost_.exchange(true) || paused_) return;
    }
    const std::string text = Cp949ToUtf8(raw);
    const std::string json = "{\"class\":\"" + std::string(DezClassName(classWord)) +
                             "\",\"text\":" + JsonString(text) + ",\"time\":\"" +
                             IsoTime(UnixMs()) + "\"}";
    Log(std::string("msg ") + DezClassName(classWord) + ": " + text);
    state_.AddMessage(json);
    if (mqtt_) mqtt_->PublishMessage(json);
}

WriteOutcome CServe::Write(long tag, const std::string& valueText) {
    if (!opt_.writes)
        return {false, "writes-off",
                "writes from outside are off (tarvo serve --writes enables them)"};
    if (tag < 0 || static_cast<std::size_t>(tag) >= tags_.size())
        return {false, "unknown-tag", "no such tag in " + opt_.tags};
    const Tag& t = tags_[static_cast<std::size_t>(tag)];
    if (!t.spec.writable)
        return {false, "not-writable", "tag " + t.spec.name + " is not marked rw in " + opt_.tags};
    CTagVal value;
    std::string error;
    const std::string cp949 = Utf8ToCp949(valueText);
    if (Cp949ToUtf8(cp949) != valueText)
        return {false, "bad-value", "the value is not UTF-8 text that CP949 can hold"};
    if (!tarvo::ParseWriteValue(t.spec, cp949, value, error))
        return {false, "bad-value", Cp949ToUtf8(error)};
    std::lock_guard<std::mutex> lock(writeMu_);
    if (paused_)
        return {false, "refused",
                "communication is not running (starting, stopping, or the I/O service is away)"};
    if (t.handle < 0)
        return {false, "refused", "the driver refused tag " + t.spec.name + " at registration"};
    const std::int32_t rc = Fn<drv::WriteTagFn>(drv::kWriteTag)(index_, t.handle, &value);
    if (rc != 0) return {false, "refused", "the driver's write queue is full (65,535 writes wait)"};
    // A flood of writes is logged by count, not line by line (FlushWriteLog).
    if (++writesLogged_ <= 50)
        Log("write " + t.spec.name + " <- " + tarvo::ShowValue(value));
    else
        ++writesUnlogged_;
    return {true, "queued", "written to the driver's queue"};
}

// Every 10 s: how many writes went unlogged in that time, and a fresh budget of 50 lines.
void CServe::FlushWriteLog() {
    std::lock_guard<std::mutex> lock(writeMu_);
    const auto now = std::chrono::steady_clock::now();
    if (now - writeLogWindow_ < std::chrono::seconds(10)) return;
    if (writesUnlogged_)
        Log(std::to_string(writesUnlogged_) +
            " more writes in the last 10 s, not logged one by one");
    writeLogWindow_ = now;
    writesLogged_ = writesUnlogged_ = 0;
}

void CServe::Shutdown() {
    // The broker says offline and the web view closes before the driver goes; the driver's
    // threads stop before the module is unloaded.
    {
        std::lock_guard<std::mutex> lock(writeMu_);
        paused_ = true;
    }
    if (mqtt_) mqtt_->Stop();
    if (web_) web_->Stop();
    if (board_ && started_)
        Log("stopped: " + std::to_string(board_->Delivered()) + " values from the driver, " +
            std::to_string(mqtt_ ? mqtt_->Published() : 0) + " messages to the broker, " +
            std::to_string(board_->MergedTotal()) +
            " changes merged into a later value of their tag before they were sent");
    {
        if (table_ && index_ >= 0 && started_) {
            Fn<drv::SetActiveFn>(drv::kSetActive)(index_, nullptr, 0);
            Fn<drv::StopFn>(drv::kStop)(index_);
            started_ = false;
        }
    }
    if (listener_) {
        CTagDatabase::Instance().RemoveListener(listener_);
        listener_ = 0;
    }
    if (sinkSet_) {
        DezSetSink(nullptr);
        sinkSet_ = false;
    }
    if (module_) {
        ::dlclose(module_);
        module_ = nullptr;
        table_ = nullptr;
    }
}

}  // namespace

}  // namespace serve

int CmdServe(const Args& args) {
    serve::Options opt;
    std::string error;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!serve::ParseOptions(args, opt, error)) {
        std::fprintf(stderr, "tarvo serve: %s\n\n%s", error.c_str(), serve::kHelp);
        return serve::kExitUsage;
    }
    if (opt.help) {
        std::fputs(serve::kHelp, stdout);
        return serve::kExitOk;
    }
    serve::CServe s(std::move(opt));
    return s.Run();
}
