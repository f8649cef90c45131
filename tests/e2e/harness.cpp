#include "harness.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "dezudur/output.h"
#include "framework/codepage.h"
#include "tarvosub/tagval.h"

extern char** environ;

namespace e2e {

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= end) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

int FreePort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

std::string BinDir() { return QX_E2E_BIN_DIR; }

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qx-e2e.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data())) path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

namespace {

pid_t Spawn(const std::vector<std::string>& argv, const std::string& outPath,
            const std::string& errPath, const std::string& inPath = "/dev/null") {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, inPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, outPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

// Waits for a child up to timeoutMs; kills it if it is still there. Status or -1.
int Reap(pid_t pid, int timeoutMs) {
    int status = 0;
    bool gone = WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs);
    if (!gone) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int RunProgram(const std::vector<std::string>& argv, const std::string& outPath,
               const std::string& errPath, int timeoutMs, const std::string& inPath) {
    pid_t pid = Spawn(argv, outPath, errPath, inPath);
    if (pid < 0) return -1;
    return Reap(pid, timeoutMs);
}

pid_t StartProgram(const std::vector<std::string>& argv, const std::string& outPath,
                   const std::string& errPath, const std::string& inPath) {
    return Spawn(argv, outPath, errPath, inPath);
}

int WaitProgram(pid_t pid, int timeoutMs) { return pid < 0 ? -1 : Reap(pid, timeoutMs); }

bool MakeConfig(const std::string& json, const std::string& cfgPath, std::string& error) {
    std::string jsonPath = cfgPath + ".json";
    if (!WriteFile(jsonPath, json)) {
        error = "cannot write " + jsonPath;
        return false;
    }
    int rc = RunProgram({BinDir() + "/tarvo", "cfg", "import", jsonPath, cfgPath}, cfgPath + ".out",
                        cfgPath + ".err");
    if (rc != 0) {
        error = "tarvo cfg import failed: " + ReadFile(cfgPath + ".err");
        return false;
    }
    return true;
}

bool Service::Start(const std::string& dir, const std::string& scenarioJson, std::string& error,
                    const std::vector<std::string>& extraArgs) {
    std::string scenario = dir + "/scenario.json";
    std::string ready = dir + "/tvioctrld.ready";
    logPath_ = dir + "/tvioctrld.log";
    if (!WriteFile(scenario, scenarioJson)) {
        error = "cannot write the scenario";
        return false;
    }
    std::vector<std::string> argv = {BinDir() + "/tvioctrld", "--simulate", scenario, "--socket",
                                     dir + "/TVIOCTRL.sock", "--ready-file", ready};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    pid_ = Spawn(argv, dir + "/tvioctrld.out", logPath_);
    if (pid_ < 0) {
        error = "cannot start " + BinDir() + "/tvioctrld";
        return false;
    }
    bool exited = false;
    bool up = WaitFor(
        [&] {
            int status;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) exited = true;
            return exited || std::filesystem::exists(ready);
        },
        15000);
    if (!up || exited) {
        if (exited) pid_ = -1;
        Stop();
        error = "tvioctrld did not get ready: " + Log();
        return false;
    }
    return true;
}

void Service::Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (Reap(pid_, 10000) < 0) {
        // Reap killed it; nothing more to do.
    }
    pid_ = -1;
}

MessageLog::MessageLog() {
    DezSetSink([this](std::int32_t, std::int32_t classWord, const std::string& raw) {
        std::lock_guard<std::mutex> lock(mu_);
        entries_.push_back({classWord, raw});
    });
}

MessageLog::~MessageLog() { DezSetSink(nullptr); }

int MessageLog::Count(const std::string& utf8Fragment, std::int32_t classWord) const {
    std::string want = Utf8ToCp949(utf8Fragment);
    std::lock_guard<std::mutex> lock(mu_);
    int n = 0;
    for (auto& e : entries_)
        if (e.text.find(want) != std::string::npos && (classWord < 0 || e.classWord == classWord))
            ++n;
    return n;
}

std::vector<MessageLog::Entry> MessageLog::All() const {
    std::lock_guard<std::mutex> lock(mu_);
    return entries_;
}

std::string MessageLog::Dump() const {
    std::string out;
    for (auto& e : All()) {
        char head[16];
        std::snprintf(head, sizeof head, "[0x%03X] ", static_cast<unsigned>(e.classWord));
        out += head + Cp949ToUtf8(e.text) + "\n";
    }
    return out;
}

bool Module::Load(std::string& error) {
    std::string path = BinDir() + "/libQuorix.so";
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = ::dlerror();
        error = why ? why : "dlopen failed";
        return false;
    }
    table_ = static_cast<void**>(::dlsym(handle_, "DrvFuncTable"));
    if (!table_) {
        error = "no DrvFuncTable";
        Unload();
        return false;
    }
    return true;
}

void Module::Unload() {
    if (handle_) ::dlclose(handle_);
    handle_ = nullptr;
    table_ = nullptr;
}

std::int32_t Module::Open(const std::string& path) const {
    return Fn<drv::OpenFn>(drv::kOpen)(path.c_str());
}
std::int32_t Module::Start(std::int32_t index) const {
    return Fn<drv::StartFn>(drv::kStart)(index);
}
std::int32_t Module::Register(std::int32_t index, const std::string& device,
                              const std::string& address, int type, int size,
                              std::int32_t tagId) const {
    return Fn<drv::RegisterTagFn>(drv::kRegisterTag)(index, device.c_str(), address.c_str(), type,
                                                     size, tagId);
}
std::int32_t Module::EndRegistration(std::int32_t index) const {
    return Fn<drv::EndRegistrationFn>(drv::kEndRegistration)(index);
}
void Module::SetActive(std::int32_t index, const char* station, std::int32_t flag) const {
    Fn<drv::SetActiveFn>(drv::kSetActive)(index, station, flag);
}
std::int32_t Module::Write(std::int32_t index, std::int32_t handle, const CTagVal& value) const {
    return Fn<drv::WriteTagFn>(drv::kWriteTag)(index, handle, &value);
}
std::int32_t Module::Stop(std::int32_t index) const { return Fn<drv::StopFn>(drv::kStop)(index); }

Module::Stats Module::Statistics(std::int32_t index, const char* station,
                                 std::int32_t preset) const {
    Stats s;
    s.writes = s.writeFailures = s.reads = s.readFailures = preset;
    s.result = Fn<drv::GetStatisticsFn>(drv::kGetStatistics)(
        index, station, &s.writes, &s.writeFailures, &s.reads, &s.readFailures);
    return s;
}

void Module::ResetStatistics(std::int32_t index, const char* station) const {
    Fn<drv::ResetStatisticsFn>(drv::kResetStatistics)(index, station);
}

}  // namespace e2e
