#include "doc.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
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

// The file a save replaces: the path itself or, for a symbolic link, the file the link leads to,
// so that the link stays a link.
bool ResolveLinks(std::string& path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        char link[PATH_MAX];
        ssize_t n = ::readlink(path.c_str(), link, sizeof link);
        if (n <= 0 || n == static_cast<ssize_t>(sizeof link)) return false;
        std::string next(link, static_cast<std::size_t>(n));
        std::size_t slash = path.rfind('/');
        if (next[0] != '/' && slash != std::string::npos) next = path.substr(0, slash + 1) + next;
        path = std::move(next);
    }
    return false;  // a loop of links
}

// Gives the new file the old one's owner, group and mode. Only a privileged process may give a
// file away, so a refused owner is no failure; the set-id bits then go.
bool KeepOwnerAndMode(int fd, const struct stat& old) {
    struct stat now {};
    if (::fstat(fd, &now) != 0) return false;
    bool ownerKept = (now.st_uid == old.st_uid && now.st_gid == old.st_gid) ||
                     ::fchown(fd, old.st_uid, old.st_gid) == 0;
    if (!ownerKept) {
        if (errno != EPERM) return false;
        // Keep at least the group, where the user belongs to it.
        if (::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0 && errno != EPERM) return false;
    }
    mode_t mode = old.st_mode & (ownerKept ? 07777 : 01777);
    return ::fchmod(fd, mode) == 0;
}

bool Store(CQuorixDoc& doc, CDiskFile& file) {
    try {
        CArchive ar(&file, CArchive::store, 4096);
        doc.Serialize(ar);
        ar.Close();
        file.Flush();
        return true;
    } catch (const CArchiveException&) {
    } catch (const std::bad_alloc&) {
    }
    return false;
}

// Writes a unique file beside the target and renames it over the target, so that a failure or a
// concurrent save never leaves a partial file.
bool SaveTo(CQuorixDoc& doc, const std::string& target) {
    struct stat old {};
    bool exists = ::stat(target.c_str(), &old) == 0;
    // Replacing a file the user may not write would step around its protection.
    if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return false;
    CDiskFile file;
    std::string temp;
    if (!file.CreateUnique(target + ".saving-", temp)) {
        // The folder takes no new file, but the file itself is writable: write it in place.
        bool inPlace = exists && (errno == EACCES || errno == EPERM || errno == ENAMETOOLONG);
        return inPlace && file.Open(target, CDiskFile::createExclusive) && Store(doc, file);
    }
    bool ok = (!exists || KeepOwnerAndMode(file.Handle(), old)) && Store(doc, file);
    file.Close();
    ok = ok && std::rename(temp.c_str(), target.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
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

std::shared_ptr<CObject> CQuorixDoc::GetEngine() const {
    std::lock_guard<std::mutex> lock(m_engineLock);
    return m_pEngine;
}

std::shared_ptr<CObject> CQuorixDoc::SetEngine(std::shared_ptr<CObject> engine) {
    std::lock_guard<std::mutex> lock(m_engineLock);
    m_pEngine.swap(engine);
    return engine;
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
    return Load(file);
}

int CQuorixDoc::Load(CFile& file) {
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

    std::string target = m_strPath;
    bool ok = !target.empty() && ResolveLinks(target) && SaveTo(*this, target);
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
