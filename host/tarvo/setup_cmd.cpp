// tarvo setup CFG: loads the driver module as the host does and opens its setup dialog.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "commands.h"
#include "quorix/drv_api.h"

namespace {

bool HasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* v = std::getenv(name);
        if (v && *v) return true;
    }
    return false;
}

// The module lives next to the program, as in the host's program folder.
std::string ModulePath() {
    char exe[4096];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return "libQuorix.so";
    std::string dir(exe, static_cast<std::size_t>(n));
    std::size_t slash = dir.rfind('/');
    return (slash == std::string::npos ? std::string(".") : dir.substr(0, slash)) + "/libQuorix.so";
}

}  // namespace

int CmdSetup(const Args& args) {
    if (args.size() != 1) {
        std::fputs("usage: tarvo setup CFG\n", stderr);
        return 2;
    }
    const std::string& path = args[0];
    if (!HasDisplay()) {
        std::fputs(
            "tarvo setup: no display to show the dialog on. Set DISPLAY (X11) or "
            "WAYLAND_DISPLAY,\n"
            "or QT_QPA_PLATFORM (for example QT_QPA_PLATFORM=vnc to reach it with a VNC viewer).\n",
            stderr);
        return 2;
    }
    std::string module = ModulePath();
    void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        std::fprintf(stderr, "tarvo setup: cannot load %s: %s\n", module.c_str(), ::dlerror());
        return 1;
    }
    auto* table = static_cast<void**>(::dlsym(handle, "DrvFuncTable"));
    if (!table || !table[drv::kSetup]) {
        std::fprintf(stderr, "tarvo setup: %s has no setup entry\n", module.c_str());
        ::dlclose(handle);
        return 1;
    }
    auto setup = reinterpret_cast<drv::SetupFn>(table[drv::kSetup]);
    std::int32_t saved = setup(path.c_str());
    if (saved)
        std::printf("setup: configuration saved to %s\n", path.c_str());
    else
        std::printf("setup: nothing saved (%s unchanged)\n", path.c_str());
    ::dlclose(handle);
    return 0;
}
