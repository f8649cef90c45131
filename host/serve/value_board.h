// The latest value of every tag, as the driver delivered it, for the broker and the web view.
// The driver's delivery thread only stores and marks; rendering and sending happen elsewhere,
// so a slow or absent broker never holds the driver up, and memory stays one entry per tag.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tarvosub/tagval.h"

namespace serve {

struct Sample {
    CTagVal value;
    std::int64_t timeMs = 0;  // when the host received it (Unix time, ms)
    bool good = true;         // false while the tag's station is failing
    std::uint64_t version = 0;
};

class CValueBoard {
public:
    explicit CValueBoard(std::size_t tags);

    // The driver's thread: a delivered value.
    void Set(std::size_t tag, const CTagVal& value);
    // The station's state changed: its tags' quality with it (a change is sent again).
    void SetGood(const std::vector<std::size_t>& tags, bool good);
    Sample Get(std::size_t tag) const;

    // The broker's side: tags changed since they were last taken, oldest first, at most `max`;
    // a tag changed again before it was taken is sent once, with its latest value (merged).
    // The tags come with their samples, copied under one lock.
    std::size_t TakeDirty(std::vector<std::pair<std::size_t, Sample>>& out, std::size_t max);
    // Every tag that has a value, to be sent again (after the broker came back).
    std::size_t MarkAllDirty();
    std::uint64_t TakeMerged();
    // Called (outside the lock) when the first changed tag waits to be taken.
    void SetWake(std::function<void()> wake) { wake_ = std::move(wake); }

    // The web view's side: tags changed after `since`; returns the newest version.
    std::uint64_t ChangedSince(std::uint64_t since,
                               std::vector<std::pair<std::size_t, Sample>>& out) const;
    // Waits until a tag changes after `since` or the time is up.
    void WaitChange(std::uint64_t since, std::chrono::milliseconds limit) const;
    std::uint64_t Version() const;
    // Values the driver delivered, and changes merged into a later value before they were sent.
    std::uint64_t Delivered() const;
    std::uint64_t MergedTotal() const;

private:
    void MarkLocked(std::size_t tag, bool& wake);

    mutable std::mutex mu_;
    mutable std::condition_variable changed_;
    std::vector<Sample> samples_;
    std::vector<char> dirty_;
    std::deque<std::size_t> order_;
    std::uint64_t version_ = 0;
    std::uint64_t merged_ = 0, mergedTotal_ = 0, delivered_ = 0;
    std::function<void()> wake_;
};

// The JSON payload of a tag's value: {"value":...,"quality":"good"|"bad","time":"...Z"}.
std::string ValuePayload(const Sample& sample);
// Unix milliseconds as ISO 8601 UTC with milliseconds.
std::string IsoTime(std::int64_t unixMs);

}  // namespace serve
