// The driver document: one configuration file in memory, its stations and board settings, and
// the communication engine once the host starts it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/records.h"
#include "framework/object.h"
#include "tarvosub/header.h"

class CFile;

class CQuorixDoc : public CObject {
    DECLARE_SERIAL(CQuorixDoc)
public:
    // Shows the setup dialog modally on a document; returns 1 if the dialog saved it.
    using DialogRunner = std::function<int(CQuorixDoc& doc)>;
    static void SetDialogRunner(DialogRunner runner);
    static bool HasDialogRunner();

    CQuorixDoc();
    ~CQuorixDoc() override;
    void Serialize(CArchive& ar) override;

    // Loads the file if it exists and shows the setup dialog; 1 if the dialog saved.
    int Configure(const std::string& path);
    // 1 on success, 0 on any failure (what was read before the failure stays in the document).
    int Load(const std::string& path);
    // The same from an open stream (a file's bytes held in memory, for instance).
    int Load(CFile& file);
    // Writes the whole file at the stored path (for a link, at its target) through a unique
    // temporary file beside it that takes the old file's mode and owner, so that the old file
    // stays intact when writing fails; where the folder takes no new file, a writable file is
    // written in place. A failure shows error box 2005. True on success.
    bool Save();

    CStationInfo* FindStation(const char* name) const;
    // 0, or 2701 when another station (not `editing`) has this name (any case).
    int CheckStationName(const std::string& name, const CStationInfo* editing) const;
    // 2707 outside 0..31, 2702 when another station (not `editing`) has the number, else 0.
    int CheckStationNo(std::int32_t number, const CStationInfo* editing) const;

    const std::string& GetPath() const { return m_strPath; }
    const std::string& GetTitle() const { return m_strTitle; }
    void SetPath(const std::string& path);
    // The engine, shared: a host entry holds it while it works, so that a new start on another
    // thread cannot free it underneath.
    std::shared_ptr<CObject> GetEngine() const;
    // Stores a new engine and gives back the old one.
    std::shared_ptr<CObject> SetEngine(std::shared_ptr<CObject> engine);
    // Held by a start of communication for its replacement of the engine and its board work.
    std::mutex m_startLock;
    std::vector<std::unique_ptr<CStationInfo>>& Stations() { return m_stations; }
    const std::vector<std::unique_ptr<CStationInfo>>& Stations() const { return m_stations; }
    CCommPort& Port() { return m_port; }
    const CCommPort& Port() const { return m_port; }
    const std::vector<std::string>& StationNames() const { return m_stationNames; }
    const CTarvoHeader& Header() const { return m_header; }

private:
    std::string m_strPath;
    std::string m_strTitle;
    mutable std::mutex m_engineLock;  // guards the pointer only
    std::shared_ptr<CObject> m_pEngine;
    CTarvoHeader m_header;
    std::vector<std::string> m_stationNames;
    CCommPort m_port;
    std::vector<std::unique_ptr<CStationInfo>> m_stations;
};
