#include "driver_host.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "framework/codepage.h"
#include "platform/linux_device.h"
#include "platform/tvioctrl.h"
#include "quorix/drv_api.h"
#include "tarvosub/tagval.h"

namespace tarvo {

namespace {

// Why the I/O driver cannot be opened, in words: the device is opened once more here, by the
// same client the module uses, and the failure's reason told with what to do about it.
std::string DeviceTrouble() {
    const std::string socket = plat::DeviceSocketPath(tvio::kDevicePathNt);
    const plat::HANDLE h = plat::Device().CreateFileA(
        tvio::kDevicePathNt, plat::GENERIC_READ | plat::GENERIC_WRITE, 0, plat::OPEN_EXISTING, 0);
    const std::uint32_t error = plat::GetLastError();
    if (h != plat::INVALID_HANDLE_VALUE) {
        plat::Device().CloseHandle(h);
        return "it failed for the driver, but opens now; socket " + socket;
    }
    std::string what = std::string(plat::DeviceErrorText(error)) + " (socket " + socket + ")";
    switch (error) {
        case plat::ERROR_FILE_NOT_FOUND:
            return what + ": is tvioctrld running? Set QX_DEVICE_DIR for another folder";
        case plat::ERROR_ACCESS_DENIED:
            return what + ": add the user to the socket's group (quorix), then log in again";
        case plat::ERROR_REQ_NOT_ACCEP:
            return what +
                   ": close other programs of this user that use the board, or raise "
                   "tvioctrld's --clients-per-user";
        case plat::ERROR_SEM_TIMEOUT:
            return what + ": the service is stuck or overloaded; see its log";
        default:
            return what;
    }
}

}  // namespace

std::string ExecutableDirectory() {
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<std::size_t>(n));
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

void** LoadDriverModule(const std::string& path, void*& handle, std::string& used,
                        std::string& error) {
    used = path.empty() ? ExecutableDirectory() + "/libQuorix.so" : path;
    // A bare file name would make the loader search its path instead of this folder.
    if (used.find('/') == std::string::npos) used = "./" + used;
    handle = ::dlopen(used.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        error = "cannot load the driver module " + used + ": " + (why ? why : "?");
        return nullptr;
    }
    auto table = static_cast<void**>(::dlsym(handle, "DrvFuncTable"));
    if (!table || !table[drv::kOpen] || !table[drv::kStart]) {
        error = used + " has no filled DrvFuncTable: not a driver module";
        ::dlclose(handle);
        handle = nullptr;
        return nullptr;
    }
    return table;
}

std::string StartFailureText(std::int32_t rc) {
    std::string what;
    const int n = rc < 0 ? -rc : rc;
    if (n == 12)
        what = "the I/O driver cannot be opened: " + DeviceTrouble();
    else if (n == 13)
        what =
            "the board's memory window cannot be mapped: check the board settings against "
            "the service";
    else if (n == 14)
        what = "no K-Link (DLU) board answers at the configured port";
    else
        what = "the board could not be started";
    return what + " (DrvStart gave " + std::to_string(rc) + ")";
}

std::string ShowValue(const CTagVal& v) {
    if (!v.IsSet()) return "(no value)";
    if (v.IsText()) return "\"" + Cp949ToUtf8(v.Text()) + "\"";
    return v.Describe();
}

namespace {
int gSignalPipe[2] = {-1, -1};
}  // namespace

extern "C" void QxTarvoOnSignal(int sig) {
    const int saved = errno;
    const unsigned char b = static_cast<unsigned char>(sig);
    if (gSignalPipe[1] >= 0) (void)!::write(gSignalPipe[1], &b, 1);
    errno = saved;
}

SignalGuard::SignalGuard() {
    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) gSignalPipe[0] = gSignalPipe[1] = -1;
    struct sigaction sa {};
    sa.sa_handler = QxTarvoOnSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, &oldInt_);
    ::sigaction(SIGTERM, &sa, &oldTerm_);
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    ::sigaction(SIGPIPE, &ign, &oldPipe_);
}

SignalGuard::~SignalGuard() {
    ::sigaction(SIGINT, &oldInt_, nullptr);
    ::sigaction(SIGTERM, &oldTerm_, nullptr);
    ::sigaction(SIGPIPE, &oldPipe_, nullptr);
    for (int& fd : gSignalPipe) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

int SignalGuard::Fd() { return gSignalPipe[0]; }

}  // namespace tarvo
