#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>

#include "platform/platform.h"

namespace plat {

bool FileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

std::string PathTitle(const std::string& path) {
    std::size_t start = path.find_last_of("/\\");
    start = (start == std::string::npos) ? 0 : start + 1;
    std::string name = path.substr(start);
    std::size_t dot = name.find_last_of('.');
    if (dot != std::string::npos) name.resize(dot);
    if (name.size() > 255) name.resize(255);
    return name;
}

std::string SharedObjectName(const std::string& name) {
    std::string base = name;
    auto endsWith = [](const std::string& s, const std::string& suffix) {
        if (s.size() < suffix.size()) return false;
        return std::equal(suffix.rbegin(), suffix.rend(), s.rbegin(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) ==
                   std::tolower(static_cast<unsigned char>(b));
        });
    };
    if (endsWith(base, ".so")) return base;
    if (endsWith(base, ".dll")) base.resize(base.size() - 4);
    std::size_t slash = base.find_last_of("/\\");
    std::string folder = slash == std::string::npos ? "" : base.substr(0, slash + 1);
    std::string file = slash == std::string::npos ? base : base.substr(slash + 1);
    if (file.rfind("lib", 0) != 0) file = "lib" + file;
    return folder + file + ".so";
}

std::string ModuleDirectory() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&ModuleDirectory), &info) == 0 || !info.dli_fname)
        return {};
    std::string path = info.dli_fname;
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

HMODULE LoadLibrary(const std::string& name) {
    std::string so = SharedObjectName(name);
    if (so.find('/') == std::string::npos) {
        std::string dir = ModuleDirectory();
        if (!dir.empty()) {
            std::string beside = dir + "/" + so;
            if (FileExists(beside)) {
                if (void* h = ::dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL)) return h;
            }
        }
    }
    return ::dlopen(so.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* GetProcAddress(HMODULE module, const char* symbol) {
    return module ? ::dlsym(module, symbol) : nullptr;
}

void FreeLibrary(HMODULE module) {
    if (module) ::dlclose(module);
}

}  // namespace plat
