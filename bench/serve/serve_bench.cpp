// tarvo serve at the driver's ceiling, as a subscriber sees it: every word of 30 blocks x 60
// words changing every cycle, and 4,000 word tags outside blocks changing as fast. tvioctrld
// --simulate, mosquitto and tarvo serve run as processes of their own; this program subscribes.
//
//   qx_serve_bench [--seconds N] [--case a|b] ...      (default 20 s, both cases)
//
// Latency: "clock" generators write the moment of a change (CLOCK_MONOTONIC, ms) into a word;
// the subscriber reads the same clock when the value arrives: from the PLC to the subscriber.
// The gateway's own share is from the value's "time" (when tarvo serve had it from the driver,
// the system clock) to its arrival at the subscriber. CPU and memory are tarvo serve's.
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "proc_stats.h"

namespace {

struct Case {
    std::string key, title, config, scenario, tags;
    std::set<std::string> clockTags;
};

std::string Address(int word) {
    char b[16];
    std::snprintf(b, sizeof b, "D%04d", word);
    return b;
}

// Words [first, first + count) of station S00 as tags W<word>; a clock every `clockEvery` words
// (its low word is the tag read for latency) and a counter changing every `periodMs` on the rest.
void AddWords(Case& c, int first, int count, int clockEvery, int periodMs, std::string& gens,
              int& k) {
    for (int i = 0; i < count; ++i) {
        const int word = first + i;
        c.tags += "W" + std::to_string(word) + ", DLU.S00, " + Address(word) + ", UINT16\n";
        if (i % clockEvery == 0 && i + 1 < count) {
            c.clockTags.insert("W" + std::to_string(word));
            gens += std::string(gens.empty() ? "" : ", ") + R"({"address": ")" + Address(word) +
                    R"(", "kind": "clock", "periodMs": )" + std::to_string(periodMs + 7 * k++) +
                    "}";
            // A generator covers at most 64 words.
            const int end = word + std::min(clockEvery, count - i);
            for (int from = word + 2; from < end; from += 64)
                gens += R"(, {"address": ")" + Address(from) +
                        R"(", "kind": "counter", "periodMs": )" + std::to_string(periodMs) +
                        R"(, "words": )" + std::to_string(std::min(64, end - from)) + "}";
        }
    }
}

std::vector<Case> Cases() {
    std::vector<Case> cases;
    {
        Case c{"a", "(a) 30 blocks x 60 words, all changing every cycle", "", "", "", {}};
        std::string blocks, gens;
        int k = 0;
        for (int b = 0; b < 30; ++b) {
            blocks += std::string(b ? ", " : "") + R"({"address": ")" + Address(60 * b) +
                      R"(", "words": 60, "periodMs": 0})";
            AddWords(c, 60 * b, 60, 60, 100, gens, k);
        }
        c.config =
            R"({"stations": [{"name": "S00", "cpu": "Master K-1000", "stationNo": 1, "blocks": [)" +
            blocks + "]}]}";
        c.scenario = R"({"stations": [{"name": "S00", "number": 1, "cpu": 3, "generators": [)" +
                     gens + "]}]}";
        cases.push_back(c);
    }
    {
        Case c{"b", "(b) 4,000 word tags outside blocks, all changing", "", "", "", {}};
        std::string gens;
        int k = 0;
        AddWords(c, 2000, 4000, 100, 100, gens, k);
        c.config =
            R"({"stations": [{"name": "S00", "cpu": "Master K-1000", "stationNo": 1, "blocks": []}]})";
        c.scenario = R"({"stations": [{"name": "S00", "number": 1, "cpu": 3, "generators": [)" +
                     gens + "]}]}";
        cases.push_back(c);
    }
    return cases;
}

std::uint32_t MonoMs() {
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

std::int64_t UnixMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// "2026-12-09T20:11:58.628Z" as Unix ms.
std::int64_t ParseIso(const char* t) {
    std::tm tm{};
    int ms = 0;
    if (std::sscanf(t, "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms) != 7)
        return 0;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<std::int64_t>(::timegm(&tm)) * 1000 + ms;
}

struct Counts {
    std::mutex mu;
    std::atomic<long> messages{0};
    std::atomic<bool> measuring{false};
    std::vector<double> total, gateway;
    std::set<std::string> clocks;
    std::string prefix;
};

void OnMessage(mosquitto*, void* obj, const mosquitto_message* m) {
    auto* c = static_cast<Counts*>(obj);
    const std::uint32_t mono = MonoMs();
    const std::int64_t unix = UnixMs();
    if (!c->measuring) return;
    ++c->messages;
    const std::string topic = m->topic;
    const std::string name = topic.substr(topic.rfind('/') + 1);
    if (!c->clocks.count(name)) return;
    const char* p = static_cast<const char*>(m->payload);
    const std::string payload(p, static_cast<std::size_t>(m->payloadlen));
    const auto v = payload.find("\"value\":"), t = payload.find("\"time\":\"");
    if (v == std::string::npos || t == std::string::npos) return;
    const auto low = static_cast<std::uint16_t>(std::atol(payload.c_str() + v + 8));
    const std::int64_t at = ParseIso(payload.c_str() + t + 8);
    std::lock_guard<std::mutex> lock(c->mu);
    c->total.push_back(static_cast<std::uint16_t>(static_cast<std::uint16_t>(mono) - low));
    if (at) c->gateway.push_back(static_cast<double>(unix - at));
}

struct Row {
    std::string title;
    double rate = 0, cpu = 0, broker = 0, p50 = 0, p99 = 0, g50 = 0, g99 = 0;
    long rssStart = 0, rssEnd = 0;
    std::size_t samples = 0;
    std::string summary;
};

bool RunCase(const Case& c, int seconds, Row& row) {
    e2e::TempDir dir;
    ::setenv("QX_DEVICE_DIR", dir.Path().c_str(), 1);
    std::string error;
    if (!e2e::MakeConfig(c.config, dir / "bench.cfg", error) ||
        !e2e::WriteFile(dir / "bench.tags", c.tags)) {
        std::fprintf(stderr, "%s: %s\n", c.key.c_str(), error.c_str());
        return false;
    }
    e2e::Service service;
    if (!service.Start(dir.Path(), c.scenario, error)) {
        std::fprintf(stderr, "%s: %s\n", c.key.c_str(), error.c_str());
        return false;
    }
    const int port = e2e::FreePort();
    e2e::WriteFile(dir / "mosquitto.conf",
                   "listener " + std::to_string(port) +
                       " 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\n");
    const pid_t broker = e2e::StartProgram({"/usr/sbin/mosquitto", "-c", dir / "mosquitto.conf"},
                                           dir / "broker.out", dir / "broker.err");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    Counts counts;
    counts.clocks = c.clockTags;
    mosquitto* sub = mosquitto_new(nullptr, true, &counts);
    mosquitto_int_option(sub, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_message_callback_set(sub, &OnMessage);
    if (mosquitto_connect(sub, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "%s: no broker\n", c.key.c_str());
        ::kill(broker, SIGKILL);
        return false;
    }
    mosquitto_subscribe(sub, nullptr, "bench/tags/#", 1);
    mosquitto_loop_start(sub);

    const pid_t serve = e2e::StartProgram(
        {e2e::BinDir() + "/tarvo", "serve", dir / "bench.cfg", dir / "bench.tags", "--broker",
         "mqtt://127.0.0.1:" + std::to_string(port), "--prefix", "bench", "--http", "off"},
        dir / "serve.out", dir / "serve.err");
    const std::string pid = std::to_string(serve);
    std::this_thread::sleep_for(std::chrono::seconds(5));  // every tag once, and more
    counts.measuring = true;
    const auto t0 = std::chrono::steady_clock::now();
    const bench::Cpu a = bench::ReadCpu("/proc/" + pid + "/stat");
    const bench::Cpu ba = bench::ReadCpu("/proc/" + std::to_string(broker) + "/stat");
    row.rssStart = bench::ResidentKiB(pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const bench::Cpu b = bench::ReadCpu("/proc/" + pid + "/stat");
    const bench::Cpu bb = bench::ReadCpu("/proc/" + std::to_string(broker) + "/stat");
    row.rssEnd = bench::ResidentKiB(pid);
    counts.measuring = false;
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ::kill(serve, SIGTERM);
    e2e::WaitProgram(serve, 15000);
    mosquitto_disconnect(sub);
    mosquitto_loop_stop(sub, true);
    mosquitto_destroy(sub);
    ::kill(broker, SIGTERM);
    e2e::WaitProgram(broker, 5000);

    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK)) * elapsed;
    row.title = c.title;
    row.rate = static_cast<double>(counts.messages) / elapsed;
    row.cpu = 100.0 * static_cast<double>(b.Total() - a.Total()) / ticks;
    row.broker = 100.0 * static_cast<double>(bb.Total() - ba.Total()) / ticks;
    row.samples = counts.total.size();
    row.p50 = bench::Percentile(counts.total, 0.5);
    row.p99 = bench::Percentile(counts.total, 0.99);
    row.g50 = bench::Percentile(counts.gateway, 0.5);
    row.g99 = bench::Percentile(counts.gateway, 0.99);
    const std::string log = e2e::ReadFile(dir / "serve.out");
    const auto stopped = log.find("stopped: ");
    row.summary = stopped == std::string::npos
                      ? "(no summary)"
                      : log.substr(stopped, log.find('\n', stopped) - stopped);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 20;
    std::set<std::string> wanted;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--seconds")) seconds = std::max(1, std::atoi(argv[i + 1]));
        if (!std::strcmp(argv[i], "--case")) wanted.insert(argv[i + 1]);
    }
    mosquitto_lib_init();
    std::printf("tarvo serve at the driver's ceiling: %d s a case; load average before: %s\n",
                seconds, bench::LoadAverage().c_str());
    int rc = 0;
    std::vector<Row> rows;
    for (const Case& c : Cases()) {
        if (!wanted.empty() && !wanted.count(c.key)) continue;
        Row row;
        if (!RunCase(c, seconds, row)) {
            rc = 1;
            continue;
        }
        rows.push_back(row);
    }
    std::printf("\n%-52s %9s %7s %7s %9s %9s %9s %9s %13s %7s\n", "case", "values/s", "CPU",
                "broker", "PLC p50", "PLC p99", "gw p50", "gw p99", "RSS KiB", "samples");
    for (const Row& r : rows) {
        std::printf("%-52s %9.0f %6.2f%% %6.2f%% %7.0fms %7.0fms %7.0fms %7.0fms %6ld>%-6ld %7zu\n",
                    r.title.c_str(), r.rate, r.cpu, r.broker, r.p50, r.p99, r.g50, r.g99,
                    r.rssStart, r.rssEnd, r.samples);
        std::printf("  %s\n", r.summary.c_str());
    }
    std::printf(
        "\nvalues/s: tag values the subscriber received; CPU: tarvo serve (the driver in it "
        "included), %% of one core; broker: mosquitto. PLC: from the change in the PLC to the "
        "subscriber; gw: from tarvo serve's receiving the value to the subscriber. Load average "
        "after: %s\n",
        bench::LoadAverage().c_str());
    return rc;
}
