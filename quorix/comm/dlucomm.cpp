#include "comm/dlucomm.h"

#include <algorithm>
#include <cmath>

#include "comm/workers.h"
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
    // The host should have stopped; if it has not, the threads must end before the frames, the
    // stations and the board they use go away. On a thread of ours this is the last of the
    // engine's threads letting go of it: the other one is out already.
    if (Close()) ReportMessage(2, MSG_CLASS_STATE);
    if (!workers::OnModuleThread()) {
        std::unique_lock<std::mutex> life(m_lifeLock);
        m_lifeChanged.wait(life, [this] { return m_nWorkers == 0; });
        life.unlock();
        AwaitThreads(m_nLastThread);
    }
    m_board.Close();
}

bool CDluComm::IsRunning() const { return m_bRunning.load() != 0; }

bool CDluComm::BoardIsOpen() const { return m_bBoardOpen.load() != 0; }

bool CDluComm::BoardLost() const { return m_board.DriverHasFailed(); }

CDluComm::State CDluComm::GetState() {
    std::lock_guard<std::mutex> life(m_lifeLock);
    return m_state;
}

// --- lifecycle ----------------------------------------------------------------------------------

int CDluComm::OpenBoard() {
    for (const auto& station : m_pDoc->Stations()) station->ResetStatus();
    const CCommPort& port = m_pDoc->Port();
    int r = m_board.Open(port.m_nIoIndex, port.m_nMemIndex);
    m_bBoardOpen.store(m_board.IsOpen() ? 1 : 0);
    if (r != 0) return r;
    m_board.Reset();
    if (!m_board.Detect()) return 14;
    // A board answers at its port whatever its window jumpers say; a window that reads nothing
    // but 0xFF is not its memory, and every request would fail.
    if (m_board.WindowIsEmpty()) return 13;
    m_bBoardReady.store(1);
    return 0;
}

std::int32_t CDluComm::Start() { return ReportStart(OpenBoard()); }

std::int32_t CDluComm::ReportStart(int failure) {
    if (failure != 0) return ReportMessage(failure, MSG_CLASS_FAILURE);
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
    bool started = false;
    std::uint64_t stopping = 0;
    {
        std::lock_guard<std::mutex> life(m_lifeLock);
        if (m_bClosed) return;
        m_bWantRun = true;
        if (m_state == State::Stopped)
            started = StartLocked();
        else if (m_state == State::Stopping)
            stopping = m_nLastThread;  // the last thread out starts again
    }
    if (started) ReportMessage(1, MSG_CLASS_STATE);
    // A host thread returns with communication running; a thread of ours cannot wait for that.
    if (stopping) AwaitThreads(stopping);
}

bool CDluComm::StartLocked() {
    ResetFramesLocked();
    if (!m_bBoardReady.load() || m_bClosed) return false;
    m_writes.Release();
    m_state = State::Running;
    m_bRunning.store(1);
    m_nWorkers = 2;
    // The threads keep a shared engine alive until they are out, whoever lets go of it.
    std::shared_ptr<CDluComm> self = weak_from_this().lock();
    workers::Spawn(m_pDoc, "qx-poll", [this, self] {
        PollThread();
        WorkerLeft();
    });
    m_nLastThread = workers::Spawn(m_pDoc, "qx-delivery", [this, self] {
        DeliveryThread();
        WorkerLeft();
    });
    return true;
}

bool CDluComm::BeginStopLocked() {
    if (m_state != State::Running) return false;
    m_state = State::Stopping;
    m_bRunning.store(0);
    // The writes made so far go with the stop (the poll thread drops those it holds as it
    // leaves); writes made from now on wait for the next start.
    m_writes.Hold();
    // Wakes the delivery thread at once instead of after its full wait.
    m_evNewData.SetEvent();
    return true;
}

void CDluComm::WorkerLeft() {
    bool restarted = false;
    {
        std::lock_guard<std::mutex> life(m_lifeLock);
        if (--m_nWorkers > 0) return;
        m_state = State::Stopped;
        // A start asked while the threads were on their way out is made now, by the last one.
        if (m_bWantRun && !m_bClosed) restarted = StartLocked();
        m_lifeChanged.notify_all();
    }
    if (restarted) ReportMessage(1, MSG_CLASS_STATE);
}

void CDluComm::AwaitThreads(std::uint64_t upTo) { workers::Join(m_pDoc, upTo); }

std::int32_t CDluComm::Stop() {
    bool stopping;
    std::uint64_t upTo;
    {
        std::lock_guard<std::mutex> life(m_lifeLock);
        m_bWantRun = false;
        stopping = BeginStopLocked();
        // Every thread of the instance so far: this stop's, and those of replaced engines. A
        // start made after this point is not waited for.
        upTo = workers::LastSerial();
    }
    if (stopping) ReportMessage(2, MSG_CLASS_STATE);
    AwaitThreads(upTo);
    return 0;
}

bool CDluComm::Close() {
    bool stopping;
    {
        std::lock_guard<std::mutex> life(m_lifeLock);
        m_bWantRun = false;
        stopping = BeginStopLocked();
        m_bClosed = true;
    }
    // The threads end on their own; the board is the replacement's from now on.
    m_board.Retire();
    return stopping;
}

bool CDluComm::IsClosed() {
    std::lock_guard<std::mutex> life(m_lifeLock);
    return m_bClosed;
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
    // The writes of this run go with the stop.
    m_writes.Clear();
}

bool CDluComm::ServeWrites() { return m_writes.Send(); }

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
    m_board.FinishWithdrawals();
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
                m_writes.OnResponse(id, status);
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
            m_writes.OnTimeout(id);
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
    bool running = false;
    {
        std::lock_guard<std::mutex> life(m_lifeLock);
        // The frames belong to the poll thread while it runs.
        running = m_state != State::Stopped;
        if (!running) placed = PlaceTag(station, device, word, binding);
    }
    // Told only now, outside the life lock, and only what really happened to the tag: a tag
    // refused because communication runs is not told its address is wrong.
    std::string name = hostlibs::TagName(binding.tagId);
    if (running)
        ReportMessage(16, MSG_CLASS_FAILURE, name.c_str());
    else if (placed.handle < 0)
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
    // A value the tag's type cannot carry would reach the PLC cut or as another number: refused,
    // nothing is sent.
    if (!value.IsSet()) return -1;
    if (binding->dataType != DT_STRING) {
        const double d = value.GetVal();
        const ValueRange r = RangeOfType(binding->dataType);
        if (value.IsText() || !std::isfinite(d) || std::trunc(d) < r.low || std::trunc(d) > r.high)
            return -1;
    }
    if (station->m_nEnabled.load(relaxed) == 0) return 0;

    if (m_writes.Add(std::make_unique<CWriteItem>(station, binding, areaCode, word, value))) {
        m_bRefusalTold.store(false);
        return 0;
    }
    // Told once each time the queue fills; every refused write gets the failure value.
    if (!m_bRefusalTold.exchange(true)) {
        std::string name = hostlibs::TagName(binding->tagId);
        ReportMessage(MSG_WRITE_REFUSED, MSG_CLASS_STATION, name.c_str());
    }
    return -1;
}
