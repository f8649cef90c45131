#include "hostlibs.h"

#include <atomic>
#include <mutex>

#include "platform/platform.h"

namespace hostlibs {
namespace {

// Positions in the host tables.
constexpr int kDbmSetTagValue = 23;
constexpr int kDbmGetTagName = 29;
constexpr int kDezMessageOutput = 19;
using SetTagValueFn = std::int32_t (*)(std::int32_t, const CTagVal*);
using GetTagNameFn = std::int32_t (*)(std::int32_t, std::string*);
using MessageOutputFn = void (*)(std::int32_t, std::int32_t, const char*);

std::mutex gLoadMu;  // loading and freeing; the tables are read without it
plat::HMODULE gDbm = nullptr, gDez = nullptr, gPrj = nullptr;
std::atomic<void**> gDbmTable{nullptr}, gDezTable{nullptr}, gPrjTable{nullptr};

void LoadOne(const char* name, plat::HMODULE& handle, std::atomic<void**>& table,
             const char* exportName) {
    if (handle) return;
    handle = plat::LoadLibrary(name);
    if (handle) table.store(static_cast<void**>(plat::GetProcAddress(handle, exportName)));
}

void FreeOne(plat::HMODULE& handle, std::atomic<void**>& table) {
    if (!handle) return;
    table.store(nullptr);
    plat::FreeLibrary(handle);
    handle = nullptr;
}

}  // namespace

void LoadRuntimeLibraries() {
    std::lock_guard<std::mutex> lock(gLoadMu);
    LoadOne("TarvoDbm.dll", gDbm, gDbmTable, "FuncTable");
    LoadOne("DezudurE.dll", gDez, gDezTable, "FuncTable");
}

bool LoadProject() {
    std::lock_guard<std::mutex> lock(gLoadMu);
    LoadOne("Project.dll", gPrj, gPrjTable, "PrjFuncTable");
    return gPrj && gPrjTable.load();
}

void FreeProject() {
    std::lock_guard<std::mutex> lock(gLoadMu);
    FreeOne(gPrj, gPrjTable);
}

void FreeAll() {
    std::lock_guard<std::mutex> lock(gLoadMu);
    FreeOne(gPrj, gPrjTable);
    FreeOne(gDez, gDezTable);
    FreeOne(gDbm, gDbmTable);
}

bool HasMessageOutput() {
    void** t = gDezTable.load();
    return t && t[kDezMessageOutput];
}

void MessageOutput(std::int32_t value, std::int32_t classWord, const char* text) {
    void** t = gDezTable.load();
    if (t && t[kDezMessageOutput])
        reinterpret_cast<MessageOutputFn>(t[kDezMessageOutput])(value, classWord, text);
}

std::string TagName(std::int32_t tagId) {
    void** t = gDbmTable.load();
    std::string name;
    if (t && t[kDbmGetTagName] && reinterpret_cast<GetTagNameFn>(t[kDbmGetTagName])(tagId, &name) &&
        !name.empty())
        return name;
    return "#" + std::to_string(tagId);
}

bool SetTagValue(std::int32_t tagId, const CTagVal& value) {
    void** t = gDbmTable.load();
    if (!t || !t[kDbmSetTagValue]) return false;
    reinterpret_cast<SetTagValueFn>(t[kDbmSetTagValue])(tagId, &value);
    return true;
}

}  // namespace hostlibs
