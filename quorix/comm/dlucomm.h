// The communication engine of one document: the board, the poll frames, the write batches, the
// value queue, and the poll and delivery threads.
#pragma once

#include <cstdint>
#include <string>

#include "comm/tag_binding.h"
#include "framework/object.h"

class CQuorixDoc;
class CStationInfo;
class CTagVal;

class CDluComm : public CObject {
public:
    explicit CDluComm(CQuorixDoc* doc);
    ~CDluComm() override;  // stops both threads first if communication runs

    // Resets the stations, builds the block frames, opens, resets and detects the board.
    // 0 when the board is ready, else what ReportMessage gave for the failure.
    std::int32_t Start();
    std::int32_t BuildGroupRequests();
    void SetActive(std::int32_t flag);
    std::int32_t Stop();
    std::int32_t RegisterTag(CStationInfo* station, const std::string& address,
                             std::int32_t device, std::int32_t word, const TagBinding& binding);
    std::int32_t WriteTag(std::int32_t handle, const CTagVal& value);

    bool IsRunning() const;
    // True while the board holds an open handle to the I/O driver.
    bool BoardIsOpen() const;
};
