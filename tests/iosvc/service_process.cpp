#include "service_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace iosvc_test {

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "qx-iosvc-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data())) path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string ServiceBinary() { return TVIOCTRLD_PATH; }

ServiceProcess::~ServiceProcess() {
    if (pid_ > 0) Stop(SIGKILL);
}

bool ServiceProcess::Start(const std::vector<std::string>& args, const std::string& logFile) {
    logFile_ = logFile;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) < 0) return false;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    std::vector<std::string> all{ServiceBinary()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    int r = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (r != 0) {
        pid_ = -1;
        ::close(out[0]);
        return false;
    }

    // Wait for the "ready" line; the pipe closes early if the service gives up.
    std::string seen;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool ready = false, ended = false;
    while (!ready && !ended) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) break;
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buf[256];
        ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        ended = n <= 0;
        if (n > 0) seen.append(buf, static_cast<std::size_t>(n));
        ready = seen.find("ready\n") != std::string::npos;
    }
    ::close(out[0]);
    // A service that closed its output is on its way out; one that said nothing in time is
    // ended here.
    if (!ready) Stop(ended ? 0 : SIGKILL);
    return ready;
}

int ServiceProcess::Stop(int signal) {
    if (pid_ <= 0) return exitStatus_;
    if (signal) ::kill(pid_, signal);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return exitStatus_;
}

std::string ServiceProcess::LogText() const { return ReadFile(logFile_); }

std::uint32_t QuickClock::GetTickCount() {
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    return static_cast<std::uint32_t>(ms) + offset_.load();
}

void QuickClock::Sleep(std::uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<std::uint32_t>(ms, 2)));
}

int ConnectRaw(const std::string& socketPath) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        ::close(fd);
        return -1;
    }
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out);
}

}  // namespace iosvc_test
