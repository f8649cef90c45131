#include "doc.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <new>

#include "framework/archive.h"
#include "framework/codepage.h"
#include "platform/platform.h"
#include "tarvosub/error.h"

IMPLEMENT_SERIAL(CQuorixDoc, CObject, 1)

namespace {
std::mutex gRunnerMu;
CQuorixDoc::DialogRunner& Runner() {
    static CQuorixDoc::DialogRunner runner;
    return runner;
}
}  // namespace

void CQuorixDoc::SetDialogRunner(DialogRunner runner) {
    std::lock_guard<std::mutex> lock(gRunnerMu);
    Runner() = std::move(runner);
}

bool CQuorixDoc::HasDialogRunner() {
    std::lock_guard<std::mutex> lock(gRunnerMu);
    return static_cast<bool>(Runner());
}

CQuorixDoc::CQuorixDoc() : m_header(3) { m_header.SetDesc("Quorix.Dll"); }

CQuorixDoc::~CQuorixDoc() {
    // The engine goes first: its threads refer to the stations until they have stopped.
    m_pEngine.reset();
    while (!m_stations.empty()) m_stations.erase(m_stations.begin());
}

void CQuorixDoc::SetEngine(std::unique_ptr<CObject> engine) {
    m_pEngine.reset();
    m_pEngine = std::move(engine);
}

void CQuorixDoc::SetPath(const std::string& path) {
    m_strPath = path;
    m_strTitle = plat::PathTitle(path);
}

void CQuorixDoc::Serialize(CArchive& ar) {
    m_header.Serialize(ar);
    if (ar.IsStoring()) {
        ar.WriteCount(static_cast<std::uint32_t>(m_stationNames.size()));
        for (const auto& n : m_stationNames) ar.WriteString(n);
    } else {
        std::uint32_t n = ar.ReadCount();
        for (std::uint32_t i = 0; i < n; ++i) m_stationNames.push_back(ar.ReadString());
    }
    m_port.Serialize(ar);
    SerializeObList(ar, m_stations);
}

int CQuorixDoc::Configure(const std::string& path) {
    SetPath(path);
    if (plat::FileExists(path) && !Load(path)) {
        CTarvoError::ErrMsg(CTarvoError::kLoadFailed, 1, path.c_str());
        return 0;
    }
    DialogRunner runner;
    {
        std::lock_guard<std::mutex> lock(gRunnerMu);
        runner = Runner();
    }
    return runner ? runner(*this) : 0;
}

int CQuorixDoc::Load(const std::string& path) {
    CDiskFile file;
    if (!file.Open(path, CDiskFile::readShared)) return 0;
    try {
        CArchive ar(&file, CArchive::load, 4096);
        Serialize(ar);
        return 1;
    } catch (const CArchiveException&) {
        return 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

bool CQuorixDoc::Save() {
    m_stationNames.clear();
    for (const auto& s : m_stations) m_stationNames.push_back(s->m_strName);

    std::string temp = m_strPath + ".saving";
    bool ok = false;
    if (!m_strPath.empty()) {
        CDiskFile file;
        if (file.Open(temp, CDiskFile::createExclusive)) {
            try {
                CArchive ar(&file, CArchive::store, 4096);
                Serialize(ar);
                ar.Close();
                file.Flush();
                file.Close();
                ok = std::rename(temp.c_str(), m_strPath.c_str()) == 0;
            } catch (const CArchiveException&) {
            } catch (const std::bad_alloc&) {
            }
            if (!ok) ::unlink(temp.c_str());
        }
    }
    if (!ok) CTarvoError::ErrMsg(CTarvoError::kSaveFailed, 1, m_strPath.c_str());
    return ok;
}

CStationInfo* CQuorixDoc::FindStation(const char* name) const {
    if (!name) return nullptr;
    for (const auto& s : m_stations)
        if (Cp949CompareNoCase(s->m_strName, name) == 0) return s.get();
    return nullptr;
}

int CQuorixDoc::CheckStationName(const std::string& name, const CStationInfo* editing) const {
    for (const auto& s : m_stations)
        if (s.get() != editing && Cp949CompareNoCase(s->m_strName, name) == 0) return 2701;
    return 0;
}

int CQuorixDoc::CheckStationNo(std::int32_t number, const CStationInfo* editing) const {
    if (number < 0 || number > 31) return 2707;
    for (const auto& s : m_stations)
        if (s.get() != editing && s->m_nStationNo == number) return 2702;
    return 0;
}
