// The module's entry table and what happens when the process attaches and detaches it.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "comm/dlucomm.h"
#include "comm/workers.h"
#include "config/address.h"
#include "config/doc.h"
#include "driver/hostlibs.h"
#include "driver/instances.h"
#include "driver/messages.h"
#include "driver/texts.h"
#include "quorix/drv_api.h"
#include "tarvosub/tagval.h"

extern "C" {
__attribute__((visibility("default"))) void* DrvFuncTable[drv::kSlotCount] = {};
}

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

// The instance's engine, held for the entry's duration: a restart on another thread replaces it
// in the document but cannot free it under this entry.
std::shared_ptr<CDluComm> EngineOf(CQuorixDoc* doc) {
    return doc ? std::static_pointer_cast<CDluComm>(doc->GetEngine()) : nullptr;
}

// Adds a counter to a caller's sum without overflowing: the sum stops at the type's limits.
void AddSaturating(std::int32_t& sum, std::int32_t value) {
    const std::int64_t s = static_cast<std::int64_t>(sum) + value;
    sum = static_cast<std::int32_t>(std::clamp<std::int64_t>(
        s, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// --- module-level entries -----------------------------------------------------------------------

std::int32_t DrvGetVersion() { return drv::kVersion; }

std::int32_t DrvOpen(const char* path) {
    hostlibs::LoadRuntimeLibraries();
    auto doc = std::make_unique<CQuorixDoc>();
    if (!path || !doc->Load(path)) {
        doc.reset();
        ReportMessage(4, MSG_CLASS_FAILURE, path ? path : "");
        return -1;
    }
    return instances::Add(std::move(doc));
}

std::int32_t DrvSetup(const char* path) {
    if (!hostlibs::LoadProject()) {
        hostlibs::FreeProject();
        return 0;
    }
    std::int32_t result;
    {
        CQuorixDoc doc;
        result = doc.Configure(path ? path : "");
    }
    hostlibs::FreeProject();
    return result;
}

std::int32_t DrvEntry8() { return 0; }
std::int32_t DrvEntry9() { return 1; }
void DrvEntry10() {}
void DrvEntry11() {}

const char* DrvGetName() { return kDriverName; }

// --- per-instance entries -----------------------------------------------------------------------

std::int32_t DrvStart(std::int32_t index) {
    CQuorixDoc* doc = instances::Get(index);
    if (!doc) return 0;
    // Starts of one instance follow each other: each resets and detects the board, which a
    // second one at the same time would break. Nothing under this lock calls the host or waits
    // for a thread, so a start asked from a callback waits only for another start's board work.
    // A second start replaces the engine. The old one stops for good first and leaves the board
    // (an access of its poll thread under way ends first); entries still holding it finish on it
    // harmlessly, and its threads end on their own (DrvStop and the unload wait for them).
    bool oldStopped = false;
    int failure;
    {
        std::lock_guard<std::mutex> lock(doc->m_startLock);
        auto engine = std::make_shared<CDluComm>(doc);
        if (auto old = std::static_pointer_cast<CDluComm>(doc->SetEngine(engine)))
            oldStopped = old->Close();
        failure = engine->OpenBoard();
    }
    if (oldStopped) ReportMessage(2, MSG_CLASS_STATE);
    return CDluComm::ReportStart(failure);
}

std::int32_t DrvEndRegistration(std::int32_t index) {
    if (auto engine = EngineOf(instances::Get(index))) engine->BuildGroupRequests();
    return 0;
}

std::int32_t DrvStop(std::int32_t index) {
    if (auto engine = EngineOf(instances::Get(index))) engine->Stop();
    return 0;
}

std::int32_t DrvRegisterTag(std::int32_t index, const char* device, const char* address,
                            std::int32_t dataType, std::int32_t size, std::int32_t tagId) {
    CQuorixDoc* doc = instances::Get(index);
    auto engine = EngineOf(doc);
    if (!engine) return -1;  // registration needs DrvStart first
    const char* deviceText = device ? device : "";
    const char* dot = std::strchr(deviceText, '.');
    std::string stationName = dot ? dot + 1 : deviceText;

    CStationInfo* station = nullptr;
    for (const auto& s : doc->Stations())
        if (s->m_strName == stationName) {  // case-sensitive, unlike FindStation
            station = s.get();
            break;
        }
    if (!station) {
        std::string name = hostlibs::TagName(tagId);
        ReportMessage(6, MSG_CLASS_FAILURE, name.c_str(), deviceText);
        return -1;
    }
    TagBinding binding;
    binding.tagId = tagId;
    binding.dataType = static_cast<std::uint16_t>(dataType);
    // An unknown type would be registered and never read: refused as a wrong tag.
    if (binding.dataType > DT_STRING) {
        std::string name = hostlibs::TagName(tagId);
        ReportMessage(5, MSG_CLASS_FAILURE, name.c_str(), address ? address : "");
        return -1;
    }
    binding.sizeOrBit = static_cast<std::uint16_t>(size);
    std::int32_t dev = 0, word = 0;
    std::string addressText = address ? address : "";
    if (!ParseTagAddress(station->m_nCpuType, addressText, dev, word, binding)) {
        std::string name = hostlibs::TagName(tagId);
        ReportMessage(5, MSG_CLASS_FAILURE, name.c_str(), addressText.c_str());
        return -1;
    }
    return engine->RegisterTag(station, addressText, dev, word, binding);
}

std::int32_t DrvWriteTag(std::int32_t index, std::int32_t handle, const CTagVal* value) {
    auto engine = EngineOf(instances::Get(index));
    if (engine && value) return engine->WriteTag(handle, *value);
    return 0;
}

void DrvSetActive(std::int32_t index, const char* station, std::int32_t flag) {
    CQuorixDoc* doc = instances::Get(index);
    if (!doc) return;
    if (station) {
        if (CStationInfo* s = doc->FindStation(station)) s->m_nEnabled.store(flag, relaxed);
        return;
    }
    // A start that meets an engine just replaced by another thread's DrvStart goes to the new one.
    for (auto engine = EngineOf(doc); engine; engine = EngineOf(doc)) {
        engine->SetActive(flag);
        if (flag == 0 || !engine->IsClosed() || EngineOf(doc) == engine) break;
    }
}

void DrvResetStatistics(std::int32_t index, const char* station) {
    CQuorixDoc* doc = instances::Get(index);
    if (!doc) return;
    if (station) {
        if (CStationInfo* s = doc->FindStation(station)) s->ResetCounters();
        return;
    }
    for (const auto& s : doc->Stations()) s->ResetCounters();
}

std::int32_t DrvGetStatistics(std::int32_t index, const char* station, std::int32_t* wr,
                              std::int32_t* wf, std::int32_t* rr, std::int32_t* rf) {
    CQuorixDoc* doc = instances::Get(index);
    auto engine = EngineOf(doc);
    if (!engine) return -1;
    if (!engine->BoardIsOpen()) return 1;
    std::int32_t dummy[4] = {0, 0, 0, 0};
    if (!wr) wr = &dummy[0];
    if (!wf) wf = &dummy[1];
    if (!rr) rr = &dummy[2];
    if (!rf) rf = &dummy[3];
    // After the I/O service went away no station is polled: an enabled one is failing, not fine.
    const bool lost = engine->BoardLost();
    if (station) {
        CStationInfo* s = doc->FindStation(station);
        if (!s) return -1;
        const std::int32_t state = s->GetStatistics(*wr, *wf, *rr, *rf);
        return lost && state == 0 ? 1 : state;
    }
    int enabled = 0, failing = 0;
    for (const auto& s : doc->Stations()) {
        std::int32_t c[4];
        std::int32_t state = s->GetStatistics(c[0], c[1], c[2], c[3]);
        AddSaturating(*wr, c[0]);
        AddSaturating(*wf, c[1]);
        AddSaturating(*rr, c[2]);
        AddSaturating(*rf, c[3]);
        if (state != -1) {
            ++enabled;
            if (state == 1 || lost) ++failing;
        }
    }
    if (!engine->IsRunning() || enabled == 0) return -1;
    return failing > 0 ? 1 : 0;
}

void DrvGetStationInfo(std::int32_t index, const char* station, std::string* number,
                       std::string* description) {
    CQuorixDoc* doc = instances::Get(index);
    if (!doc) return;
    CStationInfo* s = doc->FindStation(station);
    if (!s) return;
    std::string n, d;
    s->GetInfo(n, d);
    if (number) *number = n;
    if (description) *description = d;
}

// --- attach and detach --------------------------------------------------------------------------

template <class F>
void* Entry(F f) {
    return reinterpret_cast<void*>(f);
}

struct Module {
    Module() {
        void* entries[drv::kEntryCount] = {
            Entry(&DrvGetVersion),      Entry(&DrvOpen),
            Entry(&DrvSetup),           Entry(&DrvStart),
            Entry(&DrvEndRegistration), Entry(&DrvStop),
            Entry(&DrvRegisterTag),     Entry(&DrvWriteTag),
            Entry(&DrvEntry8),          Entry(&DrvEntry9),
            Entry(&DrvEntry10),         Entry(&DrvEntry11),
            Entry(&DrvGetName),         Entry(&DrvSetActive),
            Entry(&DrvResetStatistics), Entry(&DrvGetStatistics),
            Entry(&DrvGetStationInfo),
        };
        for (int i = 0; i < drv::kSlotCount; ++i)
            DrvFuncTable[i] = i < drv::kEntryCount ? entries[i] : nullptr;
        AfxRegisterResourceModule(&ModuleResources());
        instances::Count();     // the array must outlive this object
        workers::LastSerial();  // so must the threads' registry
    }
    ~Module() {
        // Threads still running would call into the host libraries freed below, and into this
        // module once it is unmapped: every engine stops for good, and every thread any engine
        // ever started is joined.
        for (std::int32_t i = 0; i < instances::Count(); ++i)
            if (auto engine = EngineOf(instances::Get(i)); engine && engine->Close())
                ReportMessage(2, MSG_CLASS_STATE);
        workers::Join(nullptr, workers::LastSerial());
        hostlibs::FreeAll();
        instances::Clear();
        AfxUnregisterResourceModule(&ModuleResources());
        for (auto& slot : DrvFuncTable) slot = nullptr;
    }
};

Module gModule;

}  // namespace
