#include "framework/resources.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace {
std::mutex gMu;
std::vector<const CResourceModule*>& Modules() {
    static std::vector<const CResourceModule*> modules;
    return modules;
}
}  // namespace

void AfxRegisterResourceModule(const CResourceModule* module) {
    std::lock_guard<std::mutex> lock(gMu);
    Modules().push_back(module);
}

void AfxUnregisterResourceModule(const CResourceModule* module) {
    std::lock_guard<std::mutex> lock(gMu);
    auto& m = Modules();
    m.erase(std::remove(m.begin(), m.end(), module), m.end());
}

bool AfxLoadString(std::uint32_t id, std::string& out) {
    std::lock_guard<std::mutex> lock(gMu);
    auto& m = Modules();
    for (auto it = m.rbegin(); it != m.rend(); ++it) {
        auto s = (*it)->strings.find(id);
        if (s != (*it)->strings.end()) {
            out = s->second;
            return true;
        }
    }
    return false;
}
