// The engine's writes: one queue in the host's order, ordered by what each write covers.
//
// A write covers the words it writes at its station and area; a bit write covers one bit of its
// word. A write goes to the board only when no earlier write that overlaps it is still waiting or
// on the board, so the PLC applies overlapping writes in the host's order whatever slot order the
// board serves; writes that do not overlap never wait for each other. A write that covers exactly
// the same words as an earlier one not yet handed to the board, with no overlapping write made
// between them, takes the earlier one's place (last value wins), so that a tag written faster than
// its station answers keeps one write waiting. Bit writes are never replaced: pulses keep their
// order and count. A failure (error answer or time-out) fails only the request that was sent; a
// write whose request timed out goes out again unless later writes cover all it writes, since a
// station that did not answer may not have applied it.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "comm/frames.h"

class CDluBoard;

class CWriteQueue {
public:
    // Writes waiting or on the board at most; beyond it the host's writes are refused.
    static constexpr std::size_t kMaxItems = 0xFFFF;

    explicit CWriteQueue(CDluBoard& board) : m_board(board) {}

    // Host threads. False when the queue is full (the item is dropped).
    bool Add(std::unique_ptr<CWriteItem> item);
    // A stop: every write made so far is dropped (those on the board with the poll thread's next
    // Clear), and the writes made from now on wait until Release.
    void Hold();
    void Release();

    // The poll thread. Hands the writes that may go to the board, in order; false when the board
    // refused one (the rest wait for the next cycle).
    bool Send();
    void OnResponse(std::int32_t id, std::uint32_t status);
    void OnTimeout(std::int32_t id);
    // Drops the writes the poll thread holds (its last act before it leaves).
    void Clear();

    // Writes waiting or on the board, replaced ones not counted.
    std::size_t Count() const { return m_nCount.load(std::memory_order_relaxed); }
    // Writes whose value a newer write of the same words took over before they went out.
    std::uint64_t Replaced() const { return m_nReplaced.load(std::memory_order_relaxed); }

private:
    struct Entry {
        std::unique_ptr<CWriteItem> item;
        std::int32_t id;
        bool sent = false;
    };
    using WordKey = std::tuple<const CStationInfo*, std::uint16_t, std::uint16_t>;
    struct WordKeyHash {
        std::size_t operator()(const WordKey& k) const {
            const std::uint64_t v = std::uint64_t(std::get<1>(k)) << 16 | std::get<2>(k);
            return std::hash<const void*>()(std::get<0>(k)) ^
                   static_cast<std::size_t>(v * 0x9E3779B97F4A7C15ull);
        }
    };

    void Take(std::unique_ptr<CWriteItem> item);  // into the line, or onto a waiting write
    void Finish(std::list<Entry>::iterator it);
    bool CoveredLater(std::list<Entry>::const_iterator it) const;
    static std::uint16_t BitsOf(const CWriteItem& item);
    // The i-th word the item writes.
    static WordKey KeyOf(const CWriteItem& item, std::uint16_t i);

    CDluBoard& m_board;
    std::atomic<std::size_t> m_nCount{0};
    std::atomic<std::uint64_t> m_nReplaced{0};

    std::mutex m_lock;  // guards the writes handed in and the hold
    std::vector<std::unique_ptr<CWriteItem>> m_incoming;
    bool m_bHeld = false;

    // The poll thread's alone.
    std::list<Entry> m_line;  // in the host's order
    std::unordered_map<std::int32_t, std::list<Entry>::iterator> m_byId;
    // The newest write in the line touching each word, for the replacement rule.
    std::unordered_map<WordKey, std::int32_t, WordKeyHash> m_lastTouch;
    std::unordered_map<WordKey, std::uint16_t, WordKeyHash> m_busy;  // scratch of Send
    std::int32_t m_nNextId = 0;
};
