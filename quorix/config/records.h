// The configuration records: a station (one PLC) with its communication blocks, and the board
// settings. A station also carries runtime state that the engine and the host's calls share.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/object.h"

class CCommBlock : public CObject {
    DECLARE_SERIAL(CCommBlock)
public:
    CCommBlock() = default;
    ~CCommBlock() override = default;
    void Serialize(CArchive& ar) override;
    // "%s, %02d Word": "D0100, 32 Word".
    void GetDisplayText(std::string& text) const;

    std::string m_strAddress;
    std::int32_t m_nWordCount = 32;
    std::int32_t m_nPeriod = 1000;  // ms
    std::int32_t m_nDevice = 0;
    std::int32_t m_nStartWord = 0;
    std::int32_t m_nAreaCode = 0;
    void* m_hTreeItem = nullptr;  // the block's item in the setup tree; not stored
};

class CStationInfo : public CObject {
    DECLARE_SERIAL(CStationInfo)
public:
    CStationInfo() = default;
    ~CStationInfo() override;  // deletes the blocks, list head first
    void Serialize(CArchive& ar) override;

    // "%s (%02d국) : %s" with name, station number and description (CP949).
    void GetDisplayText(std::string& text) const;
    // Station number as "%02d" and the description.
    void GetInfo(std::string& number, std::string& description) const;
    // The four counters; -1 if disabled, else 1 if failing, else 0.
    std::int32_t GetStatistics(std::int32_t& writeRequests, std::int32_t& writeFailures,
                               std::int32_t& readRequests, std::int32_t& readFailures) const;
    void ResetStatus();
    void ResetCounters();
    // n = 0 after a success; 7 (time-out) or 8 (error number in text) after a failure.
    void ReportStatus(int n, const char* text);

    std::string m_strName;
    std::string m_strDesc;
    std::int32_t m_nCpuType = 0;
    std::int32_t m_nStationNo = 0;
    std::vector<std::unique_ptr<CCommBlock>> m_blocks;
    void* m_hTreeItem = nullptr;  // not stored

    // Runtime state, shared by the poll thread and the host's calls without a lock.
    std::atomic<std::int32_t> m_nEnabled{0};
    std::atomic<std::int32_t> m_nWriteRequests{0};
    std::atomic<std::int32_t> m_nWriteFailures{0};
    std::atomic<std::int32_t> m_nReadRequests{0};
    std::atomic<std::int32_t> m_nReadFailures{0};
    std::atomic<std::int32_t> m_nFailures{0};  // consecutive, held at 5 at most

    static constexpr int kLostAfter = 5;
};

class CCommPort : public CObject {
    DECLARE_SERIAL(CCommPort)
public:
    static constexpr std::int32_t kDefaultIoIndex = 4;   // 0x340
    static constexpr std::int32_t kDefaultMemIndex = 6;  // 0xD8000
    CCommPort() = default;
    ~CCommPort() override = default;
    void Serialize(CArchive& ar) override;

    std::int32_t m_nIoIndex = kDefaultIoIndex;
    std::int32_t m_nMemIndex = kDefaultMemIndex;
};

// White space (blanks, tabs, line breaks) removed from both ends.
std::string TrimWhite(std::string_view text);
// A station name as the user typed it, as it is stored: trimmed, single-byte letters upper case
// (two-byte CP949 characters unchanged). The station dialog and the configuration import share it.
std::string StationNameFromInput(std::string_view text);
