#include "records.h"

#include <cstdio>

#include "driver/messages.h"
#include "framework/archive.h"
#include "framework/codepage.h"

IMPLEMENT_SERIAL(CCommBlock, CObject, 1)
IMPLEMENT_SERIAL(CStationInfo, CObject, 1)
IMPLEMENT_SERIAL(CCommPort, CObject, 1)

namespace {
constexpr auto relaxed = std::memory_order_relaxed;
}

// --- CCommBlock ---------------------------------------------------------------------------------

void CCommBlock::Serialize(CArchive& ar) {
    ar.SerializeString(m_strAddress);
    ar.SerializeInt(m_nWordCount);
    ar.SerializeInt(m_nPeriod);
    ar.SerializeInt(m_nDevice);
    ar.SerializeInt(m_nStartWord);
    ar.SerializeInt(m_nAreaCode);
}

void CCommBlock::GetDisplayText(std::string& text) const {
    char count[32];
    std::snprintf(count, sizeof count, ", %02d Word", m_nWordCount);
    text = m_strAddress + count;
}

// --- CStationInfo -------------------------------------------------------------------------------

CStationInfo::~CStationInfo() {
    while (!m_blocks.empty()) m_blocks.erase(m_blocks.begin());
}

void CStationInfo::Serialize(CArchive& ar) {
    // The station number comes before the CPU type in the file.
    ar.SerializeString(m_strName);
    ar.SerializeString(m_strDesc);
    ar.SerializeInt(m_nStationNo);
    ar.SerializeInt(m_nCpuType);
    SerializeObList(ar, m_blocks);
}

void CStationInfo::GetDisplayText(std::string& text) const {
    static const std::string suffix = Utf8ToCp949("국) : ");
    char number[16];
    std::snprintf(number, sizeof number, " (%02d", m_nStationNo);
    text = m_strName + number + suffix + m_strDesc;
}

void CStationInfo::GetInfo(std::string& number, std::string& description) const {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d", m_nStationNo);
    number = buf;
    description = m_strDesc;
}

std::int32_t CStationInfo::GetStatistics(std::int32_t& writeRequests, std::int32_t& writeFailures,
                                         std::int32_t& readRequests,
                                         std::int32_t& readFailures) const {
    writeRequests = m_nWriteRequests.load(relaxed);
    writeFailures = m_nWriteFailures.load(relaxed);
    readRequests = m_nReadRequests.load(relaxed);
    readFailures = m_nReadFailures.load(relaxed);
    if (m_nEnabled.load(relaxed) == 0) return -1;
    return m_nFailures.load(relaxed) > 0 ? 1 : 0;
}

void CStationInfo::ResetStatus() {
    m_nEnabled.store(1, relaxed);
    ResetCounters();
    m_nFailures.store(0, relaxed);
}

void CStationInfo::ResetCounters() {
    m_nWriteRequests.store(0, relaxed);
    m_nWriteFailures.store(0, relaxed);
    m_nReadRequests.store(0, relaxed);
    m_nReadFailures.store(0, relaxed);
}

void CStationInfo::ReportStatus(int n, const char* text) {
    if (n != 0) {
        if (m_nFailures.load(relaxed) >= kLostAfter) return;
        ReportMessage(n, MSG_CLASS_STATION, m_strName.c_str(), text);
        int failures = m_nFailures.fetch_add(1, relaxed) + 1;
        if (failures == kLostAfter) ReportMessage(10, MSG_CLASS_STATE, m_strName.c_str());
        return;
    }
    if (m_nFailures.load(relaxed) >= kLostAfter)
        ReportMessage(11, MSG_CLASS_STATE, m_strName.c_str());
    m_nFailures.store(0, relaxed);
}

// --- CCommPort ----------------------------------------------------------------------------------

void CCommPort::Serialize(CArchive& ar) {
    ar.SerializeInt(m_nIoIndex);
    ar.SerializeInt(m_nMemIndex);
}

std::string TrimWhite(std::string_view text) {
    // CP949 trail bytes are never white space, so trimming bytes cannot split a character.
    const char* const white = " \t\r\n\v\f";
    std::size_t b = text.find_first_not_of(white);
    if (b == std::string_view::npos) return {};
    std::size_t e = text.find_last_not_of(white);
    return std::string(text.substr(b, e - b + 1));
}

std::string StationNameFromInput(std::string_view text) { return Cp949ToUpper(TrimWhite(text)); }
