#include "framework/object.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "framework/archive.h"

namespace {

std::mutex& RegistryLock() {
    static std::mutex mu;
    return mu;
}
std::vector<const CRuntimeClass*>& Registry() {
    static std::vector<const CRuntimeClass*> classes;
    return classes;
}

}  // namespace

const CRuntimeClass CObject::classCObject = {"CObject", 0xFFFF, nullptr, nullptr};

const CRuntimeClass* CObject::GetRuntimeClass() const { return &classCObject; }

void CObject::Serialize(CArchive&) {}

bool CRuntimeClass::IsDerivedFrom(const CRuntimeClass* base) const {
    for (const CRuntimeClass* c = this; c; c = c->m_pBaseClass)
        if (c == base) return true;
    return false;
}

const CRuntimeClass* CRuntimeClass::FromName(std::string_view name, const CRuntimeClass* base) {
    std::lock_guard<std::mutex> lock(RegistryLock());
    // The newest registration wins, as a module loaded later shadows an earlier one.
    auto& reg = Registry();
    const CRuntimeClass* any = nullptr;
    for (auto it = reg.rbegin(); it != reg.rend(); ++it) {
        if (name != (*it)->m_lpszClassName) continue;
        if (!base || (*it)->IsDerivedFrom(base)) return *it;
        if (!any) any = *it;
    }
    return any;
}

CClassRegistration::CClassRegistration(const CRuntimeClass* cls) : cls_(cls) {
    std::lock_guard<std::mutex> lock(RegistryLock());
    Registry().push_back(cls);
}

CClassRegistration::~CClassRegistration() {
    std::lock_guard<std::mutex> lock(RegistryLock());
    auto& reg = Registry();
    reg.erase(std::remove(reg.begin(), reg.end(), cls_), reg.end());
}
