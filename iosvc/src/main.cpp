// tvioctrld: the TVIOCTRL I/O driver as a service.
#include <fcntl.h>
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "board/dluboard.h"
#include "check.h"
#include "hardware_backend.h"
#include "log.h"
#include "platform/linux_device.h"
#include "platform/options_file.h"
#include "platform/tvioctrl.h"
#include "server.h"
#include "sim_backend.h"

namespace {

int gStopPipe[2] = {-1, -1};

void OnStopSignal(int) {
    int saved = errno;
    char c = 1;
    [[maybe_unused]] ssize_t n = ::write(gStopPipe[1], &c, 1);
    errno = saved;
}

const char kUsage[] =
    "usage: tvioctrld (--simulate SCENARIO | --hardware) [options]\n"
    "       tvioctrld --check (--simulate SCENARIO | --hardware) [--port N] [--window N]\n"
    "\n"
    "Serves the TVIOCTRL device (\\\\.\\TVIOCTRL): port bytes 0x300..0x3FF and 16 KB memory\n"
    "windows 0xC0000..0xEFFFF of the K-Link (DLU) board.\n"
    "\n"
    "  --simulate FILE      simulated board and stations from a scenario file (JSON)\n"
    "  --hardware           the real ISA board through the port and memory devices\n"
    "  --port-device PATH   port device for --hardware (default /dev/port)\n"
    "  --mem-device PATH    memory device for --hardware (default /dev/mem)\n"
    "  --socket PATH        socket to listen on (default $QX_DEVICE_DIR/TVIOCTRL.sock,\n"
    "                       folder /run/quorix when QX_DEVICE_DIR is not set)\n"
    "  --socket-mode OCTAL  permission bits of the socket (e.g. 660; default from umask)\n"
    "  --config FILE        options from FILE first, one \"name = value\" a line (names of\n"
    "                       the options above and below, \"hardware = yes\"); the command\n"
    "                       line's options win\n"
    "  --ready-file PATH    write this file once listening (\"ready\" is also printed)\n"
    "  --clients-per-user N connections one user may hold at once (default 16; 0: no limit)\n"
    "  --check              reset and detect the board once, say what was found, and exit\n"
    "                       (0 board ready; 3 no device access, 4 window not mapped, 5 no\n"
    "                       board at the port, 6 access lock never granted, 7 empty window)\n"
    "  --port N             the board's I/O port for --check (default 0x340)\n"
    "  --window N           the board's memory window for --check (default 0xD8000)\n"
    "  --trace              log the simulated board's decoded exchanges\n"
    "  --journal FILE       append every write the simulated stations apply to FILE, one\n"
    "                       JSON line each (format: the simulator's README, installed as\n"
    "                       /usr/share/doc/quorix-iosvc/simulator.md.gz)\n"
    "  --verbose            log every control call\n"
    "  --help               this text\n";

int Usage(const char* error) {
    if (error) std::fprintf(stderr, "tvioctrld: %s\n\n", error);
    std::fputs(kUsage, error ? stderr : stdout);
    return error ? 2 : 0;
}

bool WriteReadyFile(const std::string& path) {
    std::string tmp = path + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) return false;
    std::fprintf(f, "ready %ld\n", static_cast<long>(::getpid()));
    bool ok = std::fclose(f) == 0;
    return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

// The backend the options choose. On failure null, with `why` set for a scenario that cannot be
// read (empty when the backend itself failed to start or open its devices; it logged why).
std::unique_ptr<iosvc::IBackend> MakeBackend(bool simulate, const std::string& scenarioPath,
                                             const std::string& portDevice,
                                             const std::string& memDevice, bool trace,
                                             std::string& why, const std::string& journal = {}) {
    if (simulate) {
        sim::Scenario scenario;
        if (!sim::LoadScenario(scenarioPath, scenario, why)) {
            why = "scenario " + scenarioPath + ": " + why;
            return nullptr;
        }
        auto s = std::make_unique<iosvc::CSimBackend>(std::move(scenario), trace, journal);
        return s->Start() ? std::move(s) : nullptr;
    }
    auto h = std::make_unique<iosvc::CHardwareBackend>(portDevice, memDevice);
    if (h->Open()) return h;
    why = h->OpenFailure();
    return nullptr;
}

// --check: the board's detection once, in this process, on the backend the options choose.
int Check(const std::string& scenarioPath, const std::string& portDevice,
          const std::string& memDevice, std::uint16_t port, std::uint32_t window, bool trace) {
    const bool simulate = !scenarioPath.empty();
    std::string why;
    auto backend = MakeBackend(simulate, scenarioPath, portDevice, memDevice, trace, why);
    if (!backend && simulate) {
        if (!why.empty()) std::printf("FAILED: %s\n", why.c_str());
        return 1;
    }
    if (!backend) {
        std::printf("FAILED: %s.\n", why.c_str());
        return iosvc::kCheckNoDevice;
    }
    const int status = iosvc::RunBoardCheck(*backend, port, window, stdout);
    std::fflush(stdout);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    using iosvc::Log;
    using iosvc::LogLevel;

    std::string socketPath, scenarioPath, readyFile, journal;
    std::string portDevice = "/dev/port", memDevice = "/dev/mem";
    bool hardware = false, simulate = false, trace = false, check = false;
    unsigned socketMode = 0;
    int clientsPerUser = iosvc::CIoServer::kDefaultClientsPerUser;
    // The board settings' defaults.
    unsigned long checkPort = 0x340, checkWindow = 0xD8000;
    auto number = [](const std::string& text, unsigned long& into) {
        char* end = nullptr;
        errno = 0;
        into = std::strtoul(text.c_str(), &end, 0);
        return !text.empty() && !*end && errno == 0;
    };

    // The options of a --config file come first; the command line's win.
    std::vector<plat::OptionWord> args;
    for (int i = 1; i < argc; ++i) args.push_back({argv[i], {}});
    {
        std::string why;
        if (!plat::MergeOptionsFile(args, {"hardware", "trace", "verbose"},
                                    {"simulate", "socket", "socket-mode", "port-device",
                                     "mem-device", "clients-per-user", "port", "window", "journal"},
                                    {"hardware", "simulate"}, why)) {
            std::fprintf(stderr, "tvioctrld: %s\n", why.c_str());
            return 2;
        }
    }

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i].text;
        // A wrong setting names the file and line it came from.
        auto Usage = [&](const std::string& error) {
            return ::Usage((args[i].where.empty() ? error : args[i].where + ": " + error).c_str());
        };
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) return false;
            into = args[++i].text;
            return true;
        };
        if (arg == "--help" || arg == "-h") return ::Usage(nullptr);
        if (arg == "--hardware") {
            hardware = true;
        } else if (arg == "--simulate") {
            if (!value(scenarioPath)) return Usage("--simulate needs a scenario file");
            simulate = true;
        } else if (arg == "--socket") {
            if (!value(socketPath)) return Usage("--socket needs a path");
        } else if (arg == "--socket-mode") {
            std::string text;
            if (!value(text)) return Usage("--socket-mode needs an octal mode");
            char* end = nullptr;
            unsigned long m = std::strtoul(text.c_str(), &end, 8);
            if (text.empty() || *end || m == 0 || m > 0777) return Usage("bad --socket-mode");
            socketMode = static_cast<unsigned>(m);
        } else if (arg == "--port-device") {
            if (!value(portDevice)) return Usage("--port-device needs a path");
        } else if (arg == "--mem-device") {
            if (!value(memDevice)) return Usage("--mem-device needs a path");
        } else if (arg == "--clients-per-user") {
            std::string text;
            if (!value(text)) return Usage("--clients-per-user needs a number");
            char* end = nullptr;
            const long n = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end || n < 0 || n > 100000)
                return Usage("bad --clients-per-user: a number from 0 (no limit) to 100000");
            clientsPerUser = static_cast<int>(n);
        } else if (arg == "--ready-file") {
            if (!value(readyFile)) return Usage("--ready-file needs a path");
        } else if (arg == "--check") {
            check = true;
        } else if (arg == "--port") {
            std::string text;
            if (!value(text) || !number(text, checkPort) ||
                std::find(std::begin(kDluIoBases), std::end(kDluIoBases), checkPort) ==
                    std::end(kDluIoBases))
                return Usage("--port needs a board port: 0x300, 0x310, ... 0x3F0");
        } else if (arg == "--window") {
            std::string text;
            if (!value(text) || !number(text, checkWindow) ||
                std::find(std::begin(kDluMemBases), std::end(kDluMemBases), checkWindow) ==
                    std::end(kDluMemBases))
                return Usage("--window needs a board window: 0xC0000, 0xC4000, ... 0xEC000");
        } else if (arg == "--journal") {
            if (!value(journal)) return Usage("--journal needs a path");
        } else if (arg == "--trace") {
            trace = true;
        } else if (arg == "--verbose" || arg == "-v") {
            iosvc::SetVerbose(true);
        } else {
            return Usage(("unknown option " + arg).c_str());
        }
    }
    if (hardware == simulate) return Usage("choose one of --simulate and --hardware");
    if (!journal.empty() && (!simulate || check))
        return Usage("--journal records the simulated stations: it goes with --simulate only");
    if (check)
        return Check(simulate ? scenarioPath : std::string(), portDevice, memDevice,
                     static_cast<std::uint16_t>(checkPort), static_cast<std::uint32_t>(checkWindow),
                     trace);
    if (socketPath.empty()) socketPath = plat::DeviceSocketPath(tvio::kDevicePathNt);

    if (::pipe2(gStopPipe, O_CLOEXEC | O_NONBLOCK) < 0) {
        Log(LogLevel::Error, "pipe: %s", std::strerror(errno));
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Log(LogLevel::Info, "starting (pid %ld)", static_cast<long>(::getpid()));
    std::string why;
    auto backend = MakeBackend(simulate, scenarioPath, portDevice, memDevice, trace, why, journal);
    if (!backend) {
        if (!why.empty()) Log(LogLevel::Error, "%s", why.c_str());
        return 1;
    }

    int rc = 0;
    {
        iosvc::CIoServer server(*backend);
        server.SetClientsPerUser(clientsPerUser);
        if (!server.Listen(socketPath, socketMode)) return 1;
        if (!readyFile.empty() && !WriteReadyFile(readyFile)) {
            Log(LogLevel::Warning, "cannot write ready file %s", readyFile.c_str());
        }
        std::printf("ready\n");
        std::fflush(stdout);
        // Under systemd (Type=notify): ready now, and a ping at half the watchdog's time from
        // the serving loop itself, so that a loop that hangs is restarted.
        ::sd_notify(0, "READY=1");
        std::uint64_t watchdogUs = 0;
        if (::sd_watchdog_enabled(0, &watchdogUs) > 0 && watchdogUs >= 2000)
            server.SetHeartbeat([] { ::sd_notify(0, "WATCHDOG=1"); },
                                static_cast<int>(watchdogUs / 2000));
        server.Run(gStopPipe[0]);
        ::sd_notify(0, "STOPPING=1");
        Log(LogLevel::Info, "stopping");
        server.Close();
    }
    if (!readyFile.empty()) ::unlink(readyFile.c_str());
    backend.reset();
    Log(LogLevel::Info, "stopped");
    return rc;
}
