// The communication engine of one document: the board, the poll frames, the write batches, the
// value queue, and the poll and delivery threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board/dluboard.h"
#include "comm/frames.h"
#include "comm/tag_binding.h"
#include "framework/object.h"
#include "framework/sync.h"

class CEventVal;
class CQuorixDoc;
class CStationInfo;
class CTagVal;

class CDluComm : public CObject, public IDluSlotOwner {
public:
    static constexpr std::uint32_t kCycleMs = 100;
    static constexpr std::uint32_t kDeliveryWaitMs = 3000;

    explicit CDluComm(CQuorixDoc* doc);
    ~CDluComm() override;  // stops both threads first if communication runs
    CDluComm(const CDluComm&) = delete;
    CDluComm& operator=(const CDluComm&) = delete;

    // Resets the stations, builds the block frames, opens, resets and detects the board.
    // 0 when the board is ready, else what ReportMessage gave for the failure.
    std::int32_t Start();
    std::int32_t BuildGroupRequests();
    void SetActive(std::int32_t flag);
    std::int32_t Stop();
    // A handle (frame index << 16 | binding index), or -1 when the tag cannot be served (a
    // string or value too long for a request, or more tags than a handle can name).
    std::int32_t RegisterTag(CStationInfo* station, const std::string& address, std::int32_t device,
                             std::int32_t word, const TagBinding& binding);
    std::int32_t WriteTag(std::int32_t handle, const CTagVal& value);

    bool IsRunning() const;
    // True while the board holds an open handle to the I/O driver.
    bool BoardIsOpen() const;

    // Called by the frames on the poll thread.
    void DeliverBit(const TagBinding& binding, std::uint16_t maskedWord);
    void DeliverValue(const TagBinding& binding, const std::uint8_t* data);
    void PulseNewData() { m_evNewData.PulseEvent(); }
    CDluBoard& Board() { return m_board; }

    // IDluSlotOwner: the board's time-out sweep ends a request.
    void OnSlotTimeout(std::int32_t kind, std::int32_t id) override;

    // The steps of one poll cycle. The poll thread runs them; tests drive them one cycle at a
    // time while no thread runs.
    void BeginPolling();  // frees every slot, request cursor to 0
    void RunCycle(std::uint32_t now);
    bool ServeWrites();
    bool PollBlocks(std::uint32_t now);
    bool PollGroups();
    void ReceiveResponses();
    // Clears every frame's outstanding flag, image and send time, and empties the value queue.
    void ResetFrames();
    // Hands every queued value to the host; returns how many.
    std::size_t DeliverQueued();

    std::size_t BlockFrameCount() const { return m_blockFrames.size(); }
    std::size_t GroupFrameCount() const { return m_groupFrames.size(); }
    CBlockFrame& BlockFrame(std::size_t i) { return *m_blockFrames[i]; }
    CGroupFrame& GroupFrame(std::size_t i) { return *m_groupFrames[i]; }
    std::int32_t RequestCursor() const { return m_nCursor; }
    std::size_t QueuedValues();
    bool HasActiveBatch() const { return m_pActiveBatch != nullptr; }
    bool HasPendingBatch();
    bool BoardReady() const { return m_bBoardReady.load() != 0; }

private:
    void PollThread();
    void DeliveryThread();
    void Enqueue(std::unique_ptr<CEventVal> event);
    void StopThreads();
    void JoinThreads();
    bool OnWorkerThread() const;

    CEvent m_evNewData;
    std::mutex m_queueLock;
    std::atomic<std::int32_t> m_bRunning{0};
    std::vector<std::unique_ptr<CBlockFrame>> m_blockFrames;
    std::vector<std::unique_ptr<CGroupFrame>> m_groupFrames;
    std::int32_t m_nCursor = 0;
    std::unique_ptr<CWriteBatch> m_pActiveBatch;
    std::unique_ptr<CWriteBatch> m_pPendingBatch;
    std::deque<std::unique_ptr<CEventVal>> m_queue;
    CDluBoard m_board;
    CQuorixDoc* m_pDoc;
    std::atomic<std::int32_t> m_bBoardReady{0};
    std::mutex m_writeLock;
    std::int32_t m_nBatchSerial = 0;  // under the write lock
    // Serialises starting and stopping; held while the threads start or are joined, never
    // inside the write or queue lock.
    std::mutex m_controlLock;
    std::thread m_pollThread;
    std::thread m_deliveryThread;
    std::atomic<std::thread::id> m_pollId{};
    std::atomic<std::thread::id> m_deliveryId{};
};
