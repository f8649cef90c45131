#include "comm/dlucomm.h"

#include <algorithm>

#include "config/address.h"
#include "config/doc.h"
#include "config/records.h"
#include "driver/hostlibs.h"
#include "driver/messages.h"
#include "platform/platform.h"
#include "tarvosub/tagval.h"

namespace {
constexpr auto relaxed = std::memory_order_relaxed;
// Handles are non-negative 32-bit values: frame index in bits 16..30.
constexpr std::size_t kMaxFrames = 0x8000;
constexpr std::size_t kMaxBindings = 0x10000;
}  // namespace

CDluComm::CDluComm(CQuorixDoc* doc) : m_pDoc(doc) {
    m_board.m_pOwner = this;
    // The block frames exist from the start, so that a registration can never see them half
    // built, whichever thread makes it.
    for (const auto& station : m_pDoc->Stations())
        for (const auto& block : station->m_blocks) {
            auto frame = std::make_unique<CBlockFrame>(station.get(), block.get(), this);
            frame->BuildRequest();
            m_blockFrames.push_back(std::move(frame));
        }
}

CDluComm::~CDluComm() {
    // The host should have stopped; if it has not, the threads must end before the frames,
    // the batches and the stations they use go away.
    Close();
    {
        std::unique_lock<std::mutex> life(m_lifeLock);
        AwaitStoppedLocked(life);
    }
    m_board.Close();
}

bool CDluComm::IsRunning() const { return m_bRunning.load() != 0; }

bool CDluComm::BoardIsOpen() const { return m_bBoardOpen.load() != 0; }

CDluComm::State CDluComm::GetState() {
    std::lock_guard<std::mutex> life(m_lifeLock);
    return m_state;
}

// --- lifecycle ----------------------------------------------------------------------------------

namespace {
// The engine whose worker the current thread is, if any.
thread_local const CDluComm* tWorkerOf = nullptr;
}  // namespace

bool CDluComm::OnWorkerThread() const { return tWorkerOf == this; }

std::int32_t CDluComm::Start() {
    for (const auto& station : m_pDoc->Stations()) station->ResetStatus();
    const CCommPort& port = m_pDoc->Port();
    int r = m_board.Open(port.m_nIoIndex, port.m_nMemIndex);
    m_bBoardOpen.store(m_board.IsOpen() ? 1 : 0);
    if (r != 0) return ReportMessage(r, MSG_CLASS_FAILURE);
    m_board.Reset();
    if (!m_board.Detect()) return ReportMessage(14, MSG_CLASS_FAILURE);
    m_bBoardReady.store(1);
    ReportMessage(3, MSG_CLASS_STATE);
    return 0;
}

std::int32_t CDluComm::BuildGroupRequests() {
    std::lock_guard<std::mutex> life(m_lifeLock);
    // While the threads run the frames are theirs; activation builds every request anyway.
    if (m_state == State::Stopped)
        for (auto& g : m_groupFrames) g->BuildRequest();
    return 0;
}

void CDluComm::ResetFrames() {
    std::lock_guard<std::mutex> life(m_lifeLock);
    ResetFramesLocked();
}

void CDluComm::ResetFramesLocked() {
    {
        std::lock_guard<std::mutex> lock(m_writeLock);
        m_bStopping = false;
        for (auto& f : m_blockFrames) f->ResetState();
        // Groups registered after the end of registration still get their request.
        for (auto& g : m_groupFrames) {
            g->ResetState();
            g->BuildRequest();
        }
    }
    std::lock_guard<std::mutex> lock(m_queueLock);
    m_queue.clear();
}

void CDluComm::SetActive(std::int32_t flag) {
    // Any nonzero flag starts, as for a station's enabled flag.
    if (flag == 0) {
        Stop();
        return;
    }
    {
        std::unique_lock<std::mutex> life(m_lifeLock);
        // A stop asked on one of our threads may still be ending: its threads must be gone
        // before new ones use the frames and the board. Our own thread cannot wait for that,
        // so a start asked there while stopping is not honoured.
        AwaitStoppedLocked(life);
        if (m_state != State::Stopped || m_bClosed) return;
        ResetFramesLocked();
        if (!m_bBoardReady.load()) return;
        m_state = State::Running;
        m_bRunning.store(1);
        m_nWorkers = 2;
        // The threads keep a shared engine alive until they are out, whoever lets go of it.
        std::shared_ptr<CDluComm> self = weak_from_this().lock();
        m_pollThread = std::thread([this, self] {
            tWorkerOf = this;
            PollThread();
            WorkerLeft();
        });
        pthread_setname_np(m_pollThread.native_handle(), "qx-poll");  // for profilers, benches
        m_deliveryThread = std::thread([this, self] {
            tWorkerOf = this;
            DeliveryThread();
            WorkerLeft();
        });
    }
    ReportMessage(1, MSG_CLASS_STATE);
}

bool CDluComm::BeginStopLocked() {
    if (m_state != State::Running) return false;
    m_state = State::Stopping;
    m_bRunning.store(0);
    // The pending batch goes now, so that a write made after this stop (before the threads are
    // out) starts a new batch that waits for the next start. The poll thread deletes the
    // active batch as it leaves; until then it is its alone.
    {
        std::lock_guard<std::mutex> lock(m_writeLock);
        m_pPendingBatch.reset();
        m_bStopping = true;
    }
    // Wakes the delivery thread at once instead of after its full wait.
    m_evNewData.SetEvent();
    return true;
}

void CDluComm::AwaitStoppedLocked(std::unique_lock<std::mutex>& life) {
    // A worker still in its loop cannot wait for itself. (One that has left it may be running
    // the destructor, when it let go of the last reference.)
    if (m_state == State::Running || (OnWorkerThread() && m_nWorkers > 0)) return;
    m_lifeChanged.wait(life, [this] { return m_nWorkers == 0; });
    for (std::thread* t : {&m_pollThread, &m_deliveryThread}) {
        if (!t->joinable()) continue;
        // The last reference to the engine may be let go on one of its own threads, which is
        // then on its way out and touches nothing of the engine after this destructor.
        if (t->get_id() == std::this_thread::get_id())
            t->detach();
        else
            t->join();
    }
}

void CDluComm::WorkerLeft() {
    std::lock_guard<std::mutex> life(m_lifeLock);
    if (--m_nWorkers > 0) return;
    m_state = State::Stopped;
    m_lifeChanged.notify_all();
}

std::int32_t CDluComm::Stop() {
    {
        std::unique_lock<std::mutex> life(m_lifeLock);
        const bool stopping = BeginStopLocked();
        AwaitStoppedLocked(life);
        if (!stopping) return 0;
    }
    ReportMessage(2, MSG_CLASS_STATE);
    return 0;
}

void CDluComm::Close() {
    bool stopping;
    {
        std::lock_guard<std::mutex> life(m_lifeLock);
        stopping = BeginStopLocked();
        m_bClosed = true;
    }
    if (stopping) ReportMessage(2, MSG_CLASS_STATE);
    // The threads end on their own; the destructor or the next owner waits for them.
}

// --- poll thread --------------------------------------------------------------------------------

void CDluComm::BeginPolling() {
    for (int slot = 0; slot < DLU_SLOT_COUNT; ++slot) m_board.FreeSlot(slot);
    m_nCursor = 0;
}

void CDluComm::RunCycle(std::uint32_t now) {
    if (ServeWrites() && PollBlocks(now)) PollGroups();
    ReceiveResponses();
}

void CDluComm::PollThread() {
    BeginPolling();
    while (m_bRunning.load() == 1) {
        const std::uint32_t t0 = plat::GetTickCount();
        RunCycle(t0);
        const std::uint32_t spent = plat::GetTickCount() - t0;
        plat::Sleep(spent < kCycleMs ? kCycleMs - spent : 0);
    }
    // The stop deletes the batch this thread was sending; the pending one went with the stop.
    m_pActiveBatch.reset();
}

bool CDluComm::ServeWrites() {
    if (!m_pActiveBatch) {
        std::lock_guard<std::mutex> lock(m_writeLock);
        // Writes made after a stop wait for the next start.
        if (!m_bStopping) m_pActiveBatch = std::move(m_pPendingBatch);
    }
    if (!m_pActiveBatch) return true;
    return m_pActiveBatch->Send();
}

bool CDluComm::PollBlocks(std::uint32_t now) {
    const auto count = static_cast<std::int32_t>(m_blockFrames.size());
    while (m_nCursor < count) {
        CBlockFrame& f = *m_blockFrames[m_nCursor];
        const std::uint32_t period = static_cast<std::uint32_t>(std::max(f.m_pBlock->m_nPeriod, 0));
        const bool due = f.m_pStation->m_nEnabled.load(relaxed) != 0 && !f.m_bOutstanding &&
                         (!f.m_bSent || now - f.m_dwLastSend >= period);
        if (due) {
            if (!m_board.SendRequest(DLU_SLOT_BLOCK, m_nCursor, f.m_wCommand, f.m_request,
                                     f.m_nRequestLength))
                return false;
            f.m_pStation->m_nReadRequests.fetch_add(1, relaxed);
            f.m_dwLastSend = now;
            f.m_bSent = 1;
            f.m_bOutstanding = 1;
        }
        ++m_nCursor;
    }
    return true;
}

bool CDluComm::PollGroups() {
    const auto blocks = static_cast<std::int32_t>(m_blockFrames.size());
    const auto total = blocks + static_cast<std::int32_t>(m_groupFrames.size());
    while (m_nCursor < total) {
        const std::int32_t g = m_nCursor - blocks;
        CGroupFrame& f = *m_groupFrames[g];
        if (f.m_pStation->m_nEnabled.load(relaxed) != 0 && !f.m_bOutstanding) {
            if (!m_board.SendRequest(DLU_SLOT_GROUP, g, f.m_wCommand, f.m_request,
                                     f.m_nRequestLength))
                return false;
            f.m_pStation->m_nReadRequests.fetch_add(1, relaxed);
            f.m_bOutstanding = 1;
        }
        ++m_nCursor;
    }
    m_nCursor = 0;
    return true;
}

void CDluComm::ReceiveResponses() {
    if (m_board.Outstanding() == 0) return;
    std::uint8_t buffer[DLU_RESPONSE_SIZE];
    for (;;) {
        std::uint32_t status = 0;
        const int slot = m_board.ReceiveResponse(buffer, status);
        if (slot < 0 || slot >= DLU_SLOT_COUNT) break;
        const DluSlot& rec = m_board.Slot(slot);
        const std::int32_t id = rec.id;
        switch (rec.kind) {
            case DLU_SLOT_WRITE:
                if (m_pActiveBatch && m_pActiveBatch->OwnsSlotId(id)) {
                    m_pActiveBatch->OnResponse(id & 0xFFFF, status);
                    if (m_pActiveBatch->IsDone()) m_pActiveBatch.reset();
                }
                break;
            case DLU_SLOT_BLOCK:
                if (id >= 0 && static_cast<std::size_t>(id) < m_blockFrames.size())
                    m_blockFrames[id]->OnResponse(buffer, status);
                break;
            case DLU_SLOT_GROUP:
                if (id >= 0 && static_cast<std::size_t>(id) < m_groupFrames.size())
                    m_groupFrames[id]->OnResponse(buffer, status);
                break;
            default:
                break;
        }
    }
    m_board.CheckTimeouts();
}

void CDluComm::OnSlotTimeout(std::int32_t kind, std::int32_t id) {
    switch (kind) {
        case DLU_SLOT_WRITE:
            if (m_pActiveBatch && m_pActiveBatch->OwnsSlotId(id)) {
                m_pActiveBatch->OnTimeout(id & 0xFFFF);
                if (m_pActiveBatch->IsDone()) m_pActiveBatch.reset();
            }
            break;
        case DLU_SLOT_BLOCK:
            if (id >= 0 && static_cast<std::size_t>(id) < m_blockFrames.size())
                m_blockFrames[id]->OnTimeout();
            break;
        case DLU_SLOT_GROUP:
            if (id >= 0 && static_cast<std::size_t>(id) < m_groupFrames.size())
                m_groupFrames[id]->OnTimeout();
            break;
        default:
            break;
    }
}

// --- delivery -----------------------------------------------------------------------------------

void CDluComm::Enqueue(std::unique_ptr<CEventVal> event) {
    std::lock_guard<std::mutex> lock(m_queueLock);
    m_queue.push_back(std::move(event));
}

void CDluComm::DeliverBit(const TagBinding& binding, std::uint16_t maskedWord) {
    auto event = std::make_unique<CEventVal>();
    event->m_nTagId = binding.tagId;
    event->m_val.SetVal(maskedWord != 0 ? 1.0 : 0.0);
    Enqueue(std::move(event));
}

void CDluComm::DeliverValue(const TagBinding& binding, const std::uint8_t* data) {
    auto event = std::make_unique<CEventVal>();
    event->m_nTagId = binding.tagId;
    // Data that give no value (a BCD nibble above 9) are not handed on: the host keeps the
    // last good value rather than receiving an empty one.
    if (!DecodeValue(binding, data, event->m_val)) return;
    Enqueue(std::move(event));
}

std::size_t CDluComm::DeliverQueued() {
    std::size_t n = 0;
    for (;;) {
        std::unique_ptr<CEventVal> event;
        {
            std::lock_guard<std::mutex> lock(m_queueLock);
            if (m_queue.empty()) break;
            event = std::move(m_queue.front());
            m_queue.pop_front();
        }
        hostlibs::SetTagValue(event->m_nTagId, event->m_val);
        ++n;
    }
    return n;
}

void CDluComm::DeliveryThread() {
    while (m_bRunning.load() == 1) {
        m_evNewData.Lock(kDeliveryWaitMs);
        DeliverQueued();
    }
}

std::size_t CDluComm::QueuedValues() {
    std::lock_guard<std::mutex> lock(m_queueLock);
    return m_queue.size();
}

bool CDluComm::HasPendingBatch() {
    std::lock_guard<std::mutex> lock(m_writeLock);
    return m_pPendingBatch != nullptr;
}

// --- registration and writes --------------------------------------------------------------------

struct CDluComm::Placement {
    std::int32_t handle = -1;  // -1: the tag cannot be served
    bool individual = false;   // served by a group frame (outside every block)
};

std::int32_t CDluComm::RegisterTag(CStationInfo* station, const std::string& address,
                                   std::int32_t device, std::int32_t word,
                                   const TagBinding& binding) {
    if (!station) return -1;
    Placement placed;
    {
        std::lock_guard<std::mutex> life(m_lifeLock);
        // The frames belong to the poll thread while it runs.
        if (m_state == State::Stopped) placed = PlaceTag(station, device, word, binding);
    }
    // Told only now, outside the life lock, and only what really happened to the tag.
    std::string name = hostlibs::TagName(binding.tagId);
    if (placed.handle < 0)
        ReportMessage(5, MSG_CLASS_FAILURE, name.c_str(), address.c_str());
    else if (placed.individual)
        ReportMessage(9, MSG_CLASS_STATION, name.c_str());
    return placed.handle;
}

CDluComm::Placement CDluComm::PlaceTag(CStationInfo* station, std::int32_t device,
                                       std::int32_t word, const TagBinding& binding) {
    const int words = WordExtent(binding);
    // A value that a request cannot carry whole would be cut or overrun the buffers: a string
    // must fit the write area, anything else a response.
    const int limit = binding.dataType == DT_STRING ? kWriteDataSize : kFrameDataSize;
    if (binding.dataType != DT_BIT && binding.sizeOrBit > limit) return {};

    for (std::size_t i = 0; i < m_blockFrames.size(); ++i) {
        CBlockFrame& f = *m_blockFrames[i];
        const CCommBlock& b = *f.m_pBlock;
        if (f.m_pStation != station || b.m_nDevice != device) continue;
        if (word < b.m_nStartWord || word + words > b.m_nStartWord + f.Words()) continue;
        if (f.m_bindings.size() >= kMaxBindings) return {};
        auto copy = std::make_unique<TagBinding>(binding);
        copy->offset = static_cast<std::uint16_t>(word - b.m_nStartWord);
        f.m_bindings.push_back(std::move(copy));
        return {static_cast<std::int32_t>((i << 16) | (f.m_bindings.size() - 1)), false};
    }

    const auto areaCode = static_cast<std::uint16_t>(AreaCode(station->m_nCpuType, device));
    const std::size_t blocks = m_blockFrames.size();
    auto handleOf = [blocks](std::size_t g, std::size_t j) {
        return Placement{static_cast<std::int32_t>(((blocks + g) << 16) | j), true};
    };
    // Strings and values of several words read their whole extent in a frame of their own.
    const bool single = binding.dataType == DT_STRING || words > 1;

    // The group lookups go through two indexes instead of scanning every group frame, so that
    // registering tens of thousands of tags takes time in proportion to their number. Both give
    // what a scan in frame order would find: the first item reading a word, and the one group of
    // a station and area that still has room (groups are only added when none has).
    const GroupWordKey wordKey{station, areaCode, word};
    if (binding.dataType == DT_BIT) {
        auto it = m_groupWords.find(wordKey);
        if (it != m_groupWords.end()) {
            CGroupFrame& f = *m_groupFrames[it->second.first];
            if (f.m_bindings.size() >= kMaxBindings) return {};
            auto copy = std::make_unique<TagBinding>(binding);
            copy->offset = static_cast<std::uint16_t>(it->second.second);
            f.m_bindings.push_back(std::move(copy));
            return handleOf(it->second.first, f.m_bindings.size() - 1);
        }
    }
    const GroupAreaKey areaKey{station, areaCode};
    if (!single) {
        auto open = m_openGroups.find(areaKey);
        if (open != m_openGroups.end()) {
            const std::size_t g = open->second;
            CGroupFrame& f = *m_groupFrames[g];
            auto copy = std::make_unique<TagBinding>(binding);
            copy->offset = static_cast<std::uint16_t>(f.m_nItemCount);
            NoteGroupWord(wordKey, g, f.m_nItemCount);
            f.m_nWords[f.m_nItemCount++] = word;
            f.m_bindings.push_back(std::move(copy));
            if (f.m_nItemCount >= kGroupMaxItems) m_openGroups.erase(open);
            return handleOf(g, f.m_bindings.size() - 1);
        }
    }
    if (blocks + m_groupFrames.size() >= kMaxFrames) return {};
    auto frame = std::make_unique<CGroupFrame>(station, this);
    frame->m_nItemCount = 1;
    frame->m_nWords[0] = word;
    frame->m_wAreaCode = areaCode;
    auto copy = std::make_unique<TagBinding>(binding);
    copy->offset = 0;
    frame->m_bindings.push_back(std::move(copy));
    m_groupFrames.push_back(std::move(frame));
    const std::size_t g = m_groupFrames.size() - 1;
    NoteGroupWord(wordKey, g, 0);
    if (!single) m_openGroups[areaKey] = g;
    return handleOf(g, 0);
}

void CDluComm::NoteGroupWord(const GroupWordKey& key, std::size_t group, int item) {
    // An older group that still had room may take the word after a newer one read it alone;
    // a scan in frame order would find the older one first.
    auto [it, added] = m_groupWords.emplace(key, std::make_pair(group, item));
    if (!added && std::make_pair(group, item) < it->second) it->second = {group, item};
}

std::int32_t CDluComm::WriteTag(std::int32_t handle, const CTagVal& value) {
    const auto h = static_cast<std::uint32_t>(handle);
    const std::size_t f = (h >> 16) & 0xFFFF;
    const std::size_t b = h & 0xFFFF;
    CStationInfo* station = nullptr;
    const TagBinding* binding = nullptr;
    std::uint16_t areaCode = 0, word = 0;
    {
        // Registration may grow the frame lists meanwhile; a binding, once made, stays put.
        std::lock_guard<std::mutex> life(m_lifeLock);
        if (f < m_blockFrames.size()) {
            CBlockFrame& frame = *m_blockFrames[f];
            if (b >= frame.m_bindings.size()) return 0;
            station = frame.m_pStation;
            binding = frame.m_bindings[b].get();
            areaCode = static_cast<std::uint16_t>(
                AreaCode(station->m_nCpuType, frame.m_pBlock->m_nDevice));
            word = static_cast<std::uint16_t>(frame.m_pBlock->m_nStartWord + binding->offset);
        } else if (f - m_blockFrames.size() < m_groupFrames.size()) {
            CGroupFrame& frame = *m_groupFrames[f - m_blockFrames.size()];
            if (b >= frame.m_bindings.size()) return 0;
            station = frame.m_pStation;
            binding = frame.m_bindings[b].get();
            areaCode = frame.m_wAreaCode;
            word = static_cast<std::uint16_t>(
                frame.m_nWords[std::min<int>(binding->offset, kGroupMaxItems - 1)]);
        } else {
            return 0;
        }
    }
    if (station->m_nEnabled.load(relaxed) == 0) return 0;

    auto item = std::make_unique<CWriteItem>(station, binding, areaCode, word, value);
    bool report = false;
    {
        std::lock_guard<std::mutex> lock(m_writeLock);
        if (!m_pPendingBatch)
            m_pPendingBatch = std::make_unique<CWriteBatch>(this, m_nBatchSerial++);
        if (!m_pPendingBatch->IsFull()) {
            m_pPendingBatch->Add(std::move(item));
            return 0;
        }
        // Told once per full batch; every refused write gets the failure value.
        const auto serial = static_cast<std::uint32_t>(m_nBatchSerial);
        report = m_nRefusedBatch != serial;
        m_nRefusedBatch = serial;
    }
    if (report) {
        std::string name = hostlibs::TagName(binding->tagId);
        ReportMessage(MSG_WRITE_REFUSED, MSG_CLASS_STATION, name.c_str());
    }
    return -1;
}
