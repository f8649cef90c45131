#include "comm/writequeue.h"

#include "board/dluboard.h"
#include "config/records.h"

namespace {
constexpr auto relaxed = std::memory_order_relaxed;
}

std::uint16_t CWriteQueue::BitsOf(const CWriteItem& item) {
    return item.m_pBinding->dataType == DT_BIT
               ? static_cast<std::uint16_t>(1u << (item.m_pBinding->sizeOrBit & 15))
               : 0xFFFF;
}

CWriteQueue::WordKey CWriteQueue::KeyOf(const CWriteItem& item, std::uint16_t i) {
    return {item.m_pStation, item.m_wAreaCode, static_cast<std::uint16_t>(item.m_wWord + i)};
}

bool CWriteQueue::Add(std::unique_ptr<CWriteItem> item) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_nCount.load(relaxed) >= kMaxItems) return false;
    m_nCount.fetch_add(1, relaxed);
    m_incoming.push_back(std::move(item));
    return true;
}

void CWriteQueue::Hold() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_nCount.fetch_sub(m_incoming.size(), relaxed);
    m_incoming.clear();
    m_bHeld = true;
}

void CWriteQueue::Release() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_bHeld = false;
}

void CWriteQueue::Clear() {
    m_nCount.fetch_sub(m_line.size(), relaxed);
    m_line.clear();
    m_byId.clear();
    m_lastTouch.clear();
}

void CWriteQueue::Take(std::unique_ptr<CWriteItem> item) {
    const CWriteItem& w = *item;
    const bool bit = BitsOf(w) != 0xFFFF;
    if (!bit) {
        // The newest write in the line that overlaps this one: a write is only ever answered
        // after every earlier one overlapping it, so the newest live write touching any of these
        // words is it.
        std::int32_t newest = -1;
        for (std::uint16_t i = 0; i < w.m_wCount; ++i) {
            auto t = m_lastTouch.find(KeyOf(w, i));
            if (t != m_lastTouch.end() && t->second > newest && m_byId.count(t->second))
                newest = t->second;
        }
        if (newest >= 0) {
            Entry& e = *m_byId[newest];
            const CWriteItem& old = *e.item;
            if (!e.sent && BitsOf(old) == 0xFFFF && old.m_pStation == w.m_pStation &&
                old.m_wAreaCode == w.m_wAreaCode && old.m_wWord == w.m_wWord &&
                old.m_wCount == w.m_wCount) {
                e.item = std::move(item);
                m_nReplaced.fetch_add(1, relaxed);
                m_nCount.fetch_sub(1, relaxed);
                return;
            }
        }
    }
    const std::int32_t id = m_nNextId;
    m_nNextId = (m_nNextId + 1) & 0x7FFFFFFF;
    for (std::uint16_t i = 0; i < w.m_wCount; ++i) m_lastTouch[KeyOf(w, i)] = id;
    m_line.push_back(Entry{std::move(item), id});
    m_byId[id] = std::prev(m_line.end());
}

bool CWriteQueue::Send() {
    {
        std::vector<std::unique_ptr<CWriteItem>> taken;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            if (!m_bHeld) taken.swap(m_incoming);
        }
        for (auto& item : taken) Take(std::move(item));
    }
    if (m_line.empty()) return true;
    // One pass in the host's order: a write is held back while an earlier one in the line
    // covers any of its bits, whether that one waits or is on the board.
    m_busy.clear();
    for (Entry& e : m_line) {
        const CWriteItem& w = *e.item;
        const std::uint16_t bits = BitsOf(w);
        bool blocked = false;
        for (std::uint16_t i = 0; i < w.m_wCount; ++i) {
            std::uint16_t& busy = m_busy[KeyOf(w, i)];
            if (busy & bits) blocked = true;
            busy |= bits;
        }
        if (e.sent || blocked) continue;
        std::uint8_t header[6];
        w.BuildHeader(header);
        std::uint8_t data[kWriteDataSize] = {};
        const int n = w.EncodeValue(data);
        if (!m_board.SendWriteRequest(e.id, w.Command(), header, data, n)) return false;
        w.m_pStation->m_nWriteRequests.fetch_add(1, relaxed);
        e.sent = true;
    }
    return true;
}

void CWriteQueue::Finish(std::list<Entry>::iterator it) {
    const CWriteItem& w = *it->item;
    for (std::uint16_t i = 0; i < w.m_wCount; ++i) {
        auto t = m_lastTouch.find(KeyOf(w, i));
        if (t != m_lastTouch.end() && t->second == it->id) m_lastTouch.erase(t);
    }
    m_byId.erase(it->id);
    m_line.erase(it);
    m_nCount.fetch_sub(1, relaxed);
}

void CWriteQueue::OnResponse(std::int32_t id, std::uint32_t status) {
    auto found = m_byId.find(id);
    if (found == m_byId.end() || !found->second->sent) return;
    CStationInfo* station = found->second->item->m_pStation;
    Finish(found->second);
    if (status != 0) {
        station->m_nWriteFailures.fetch_add(1, relaxed);
        char text[8];
        FormatErrorNumber(status, text);
        station->ReportStatus(8, text);
    } else {
        station->ReportStatus(0, nullptr);
    }
}

void CWriteQueue::OnTimeout(std::int32_t id) {
    auto found = m_byId.find(id);
    if (found == m_byId.end() || !found->second->sent) return;
    auto it = found->second;
    CStationInfo* station = it->item->m_pStation;
    // Only the request that was sent failed. What it wrote is still due unless later writes in
    // the line cover all of it: it goes out again in its place (and a newer write of the same
    // words may still take it over), so that the PLC ends with the host's last value once the
    // station answers again.
    if (CoveredLater(it))
        Finish(it);
    else
        it->sent = false;
    station->m_nWriteFailures.fetch_add(1, relaxed);
    station->ReportStatus(7, nullptr);
}

bool CWriteQueue::CoveredLater(std::list<Entry>::const_iterator it) const {
    const CWriteItem& w = *it->item;
    const std::uint16_t bits = BitsOf(w);
    std::vector<std::uint16_t> covered(w.m_wCount, 0);
    for (auto later = std::next(it); later != m_line.end(); ++later) {
        const CWriteItem& l = *later->item;
        if (l.m_pStation != w.m_pStation || l.m_wAreaCode != w.m_wAreaCode) continue;
        for (std::uint16_t i = 0; i < w.m_wCount; ++i)
            if (static_cast<std::uint16_t>(w.m_wWord + i - l.m_wWord) < l.m_wCount)
                covered[i] |= BitsOf(l);
    }
    for (std::uint16_t c : covered)
        if ((c & bits) != bits) return false;
    return true;
}
