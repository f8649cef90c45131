// The communication engine of one document: the board, the poll frames, the write batches, the
// value queue, and the poll and delivery threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "board/dluboard.h"
#include "comm/frames.h"
#include "comm/tag_binding.h"
#include "comm/writequeue.h"
#include "framework/object.h"
#include "framework/sync.h"

class CEventVal;
class CQuorixDoc;
class CStationInfo;
class CTagVal;

// Lifecycle. The engine is in one of three states, kept under the life lock: stopped (no
// threads), running (both threads), stopping (running cleared, threads on their way out). The
// threads are started in one place (StartLocked) and end in one place (WorkerLeft); a start asked
// while a stop is ending is remembered and made by the last thread out. A stop or start asked on
// any thread of the module (a host callback) never waits; on a host thread a stop returns once
// every thread the instance started before it has ended. A closed engine (replaced by a new one,
// or being destroyed) never runs again and never touches the board again. No lock of the engine
// is held while the host is called.
class CDluComm : public CObject,
                 public IDluSlotOwner,
                 public std::enable_shared_from_this<CDluComm> {
public:
    enum class State { Stopped, Running, Stopping };

    static constexpr std::uint32_t kCycleMs = 100;
    static constexpr std::uint32_t kDeliveryWaitMs = 3000;

    explicit CDluComm(CQuorixDoc* doc);  // builds a frame for every block of the document
    ~CDluComm() override;                // closes first: the threads end before the frames go
    CDluComm(const CDluComm&) = delete;
    CDluComm& operator=(const CDluComm&) = delete;

    // Resets the stations, opens, resets and detects the board.
    // 0 when the board is ready, else what ReportMessage gave for the failure.
    std::int32_t Start();
    // Start without telling the host: 0, or the number of the failure message (12, 13, 14).
    int OpenBoard();
    // Tells the host OpenBoard's outcome; returns what Start returns.
    static std::int32_t ReportStart(int failure);
    std::int32_t BuildGroupRequests();
    void SetActive(std::int32_t flag);
    std::int32_t Stop();
    // Stops for good: a later SetActive(1) starts nothing, and the board is left to the engine
    // that replaces this one (an access under way on another thread ends first). True when it
    // was running: the caller tells the host the stop.
    bool Close();
    bool IsClosed();
    // A handle (frame index << 16 | binding index), or -1 when the tag cannot be served (a
    // string or value too long for a request, more tags than a handle can name, or while
    // communication runs: the frames then belong to the poll thread).
    std::int32_t RegisterTag(CStationInfo* station, const std::string& address, std::int32_t device,
                             std::int32_t word, const TagBinding& binding);
    // 0 when the write was queued or dropped for a disabled station or an unknown handle (as
    // the host expects), -1 when it could not be queued: the write queue is full.
    std::int32_t WriteTag(std::int32_t handle, const CTagVal& value);

    bool IsRunning() const;
    State GetState();
    // True while the board holds an open handle to the I/O driver.
    bool BoardIsOpen() const;
    // The board's I/O service went away under it: nothing is polled until the host starts anew.
    bool BoardLost() const;

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
    const CWriteQueue& Writes() const { return m_writes; }
    bool BoardReady() const { return m_bBoardReady.load() != 0; }

private:
    struct Placement;
    Placement PlaceTag(CStationInfo* station, std::int32_t device, std::int32_t word,
                       const TagBinding& binding);
    void PollThread();
    void DeliveryThread();
    void WorkerLeft();
    bool StartLocked();
    // Waits (on a host thread) for the threads of the instance started up to `upTo`.
    void AwaitThreads(std::uint64_t upTo);
    void Enqueue(std::unique_ptr<CEventVal> event);
    void ResetFramesLocked();
    // Running -> stopping; false when the engine was not running. Under the life lock.
    bool BeginStopLocked();

    CEvent m_evNewData;
    std::mutex m_queueLock;
    std::atomic<std::int32_t> m_bRunning{0};  // the flag the workers read; follows m_state
    std::vector<std::unique_ptr<CBlockFrame>> m_blockFrames;
    std::vector<std::unique_ptr<CGroupFrame>> m_groupFrames;
    // Registration's indexes of the group frames (under the life lock): the first group item
    // reading each word, and the group of each station and area that still takes items.
    using GroupAreaKey = std::pair<const CStationInfo*, std::uint16_t>;
    using GroupWordKey = std::tuple<const CStationInfo*, std::uint16_t, std::int32_t>;
    struct GroupKeyHash {
        std::size_t operator()(const GroupWordKey& k) const {
            return std::hash<const void*>()(std::get<0>(k)) ^
                   (static_cast<std::size_t>(std::get<1>(k)) << 32 |
                    static_cast<std::uint32_t>(std::get<2>(k))) *
                       0x9E3779B97F4A7C15ull;
        }
    };
    std::unordered_map<GroupWordKey, std::pair<std::size_t, int>, GroupKeyHash> m_groupWords;
    std::map<GroupAreaKey, std::size_t> m_openGroups;
    void NoteGroupWord(const GroupWordKey& key, std::size_t group, int item);
    std::int32_t m_nCursor = 0;
    std::deque<std::unique_ptr<CEventVal>> m_queue;
    CDluBoard m_board;
    CQuorixDoc* m_pDoc;
    std::atomic<std::int32_t> m_bBoardReady{0};
    // Whether Start left the board's driver handle open, for the statistics entry on any thread.
    std::atomic<std::int32_t> m_bBoardOpen{0};
    std::mutex m_writeLock;  // guards the frames' states against a reset
    CWriteQueue m_writes{m_board};
    std::atomic<bool> m_bRefusalTold{false};  // the full queue was reported; cleared by a write

    // The life lock guards the state and the frame lists' structure. It is held only briefly,
    // never while waiting for a thread or calling the host; the write and queue locks may be
    // taken inside it, never the other way round.
    std::mutex m_lifeLock;
    std::condition_variable m_lifeChanged;
    State m_state = State::Stopped;
    bool m_bWantRun = false;  // what the last start or stop asked for
    bool m_bClosed = false;
    int m_nWorkers = 0;               // worker threads not yet out of their loops
    std::uint64_t m_nLastThread = 0;  // serial of this engine's last thread (workers.h)
};
