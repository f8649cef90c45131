#include "value_board.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "framework/codepage.h"
#include "serve.h"

namespace serve {

CValueBoard::CValueBoard(std::size_t tags) : samples_(tags), dirty_(tags, 0) {}

void CValueBoard::MarkLocked(std::size_t tag, bool& wake) {
    samples_[tag].version = ++version_;
    if (dirty_[tag]) {
        ++merged_;
        ++mergedTotal_;
        return;
    }
    dirty_[tag] = 1;
    wake = wake || order_.empty();
    order_.push_back(tag);
}

void CValueBoard::Set(std::size_t tag, const CTagVal& value) {
    if (tag >= samples_.size()) return;
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        samples_[tag].value = value;
        samples_[tag].timeMs = now;
        ++delivered_;
        MarkLocked(tag, wake);
    }
    changed_.notify_all();
    if (wake && wake_) wake_();
}

void CValueBoard::SetGood(const std::vector<std::size_t>& tags, bool good) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        for (std::size_t t : tags) {
            if (t >= samples_.size() || samples_[t].good == good) continue;
            samples_[t].good = good;
            // A tag that never had a value is told bad too (value null), from then on.
            if (!samples_[t].value.IsSet()) samples_[t].timeMs = now;
            if (samples_[t].value.IsSet() || !good) MarkLocked(t, wake);
        }
    }
    changed_.notify_all();
    if (wake && wake_) wake_();
}

Sample CValueBoard::Get(std::size_t tag) const {
    std::lock_guard<std::mutex> lock(mu_);
    return tag < samples_.size() ? samples_[tag] : Sample{};
}

std::size_t CValueBoard::TakeDirty(std::vector<std::pair<std::size_t, Sample>>& out,
                                   std::size_t max) {
    out.clear();
    std::lock_guard<std::mutex> lock(mu_);
    while (!order_.empty() && out.size() < max) {
        const std::size_t t = order_.front();
        order_.pop_front();
        dirty_[t] = 0;
        out.emplace_back(t, samples_[t]);
    }
    return out.size();
}

std::size_t CValueBoard::MarkAllDirty() {
    std::size_t n = 0;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (std::size_t t = 0; t < samples_.size(); ++t) {
            if (!samples_[t].value.IsSet() && samples_[t].good) continue;
            ++n;
            if (!dirty_[t]) {
                dirty_[t] = 1;
                order_.push_back(t);
            }
        }
    }
    if (n && wake_) wake_();
    return n;
}

std::uint64_t CValueBoard::TakeMerged() {
    std::lock_guard<std::mutex> lock(mu_);
    const std::uint64_t n = merged_;
    merged_ = 0;
    return n;
}

std::uint64_t CValueBoard::ChangedSince(std::uint64_t since,
                                        std::vector<std::pair<std::size_t, Sample>>& out) const {
    out.clear();
    std::lock_guard<std::mutex> lock(mu_);
    if (version_ > since)
        for (std::size_t t = 0; t < samples_.size(); ++t)
            if (samples_[t].version > since) out.emplace_back(t, samples_[t]);
    return version_;
}

void CValueBoard::WaitChange(std::uint64_t since, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(mu_);
    changed_.wait_for(lock, limit, [&] { return version_ > since; });
}

std::uint64_t CValueBoard::Delivered() const {
    std::lock_guard<std::mutex> lock(mu_);
    return delivered_;
}

std::uint64_t CValueBoard::MergedTotal() const {
    std::lock_guard<std::mutex> lock(mu_);
    return mergedTotal_;
}

std::uint64_t CValueBoard::Version() const {
    std::lock_guard<std::mutex> lock(mu_);
    return version_;
}

std::string IsoTime(std::int64_t unixMs) {
    // The date and time to the second change once a second: kept per thread, the milliseconds
    // added to them.
    thread_local std::int64_t cachedSecond = -1;
    thread_local char head[64];
    const std::int64_t second = unixMs / 1000;
    if (second != cachedSecond) {
        const std::time_t secs = static_cast<std::time_t>(second);
        std::tm tm{};
        ::gmtime_r(&secs, &tm);
        std::snprintf(head, sizeof head, "%04d-%02d-%02dT%02d:%02d:%02d.", tm.tm_year + 1900,
                      tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
        cachedSecond = second;
    }
    const int ms = static_cast<int>(unixMs % 1000);
    std::string out = head;
    out += static_cast<char>('0' + ms / 100);
    out += static_cast<char>('0' + ms / 10 % 10);
    out += static_cast<char>('0' + ms % 10);
    out += 'Z';
    return out;
}

std::string ValuePayload(const Sample& s) {
    std::string out = "{\"value\":";
    if (!s.value.IsSet()) {
        out += "null";
    } else if (s.value.IsText()) {
        out += JsonString(Cp949ToUtf8(s.value.Text()));
    } else {
        const double v = s.value.GetVal();
        char buf[40];
        if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 1e15) {
            const auto end = std::to_chars(buf, buf + sizeof buf, static_cast<long long>(v)).ptr;
            out.append(buf, end);
        } else if (std::isfinite(v)) {
            std::snprintf(buf, sizeof buf, "%.9g", v);
            out += buf;
        } else {
            out += "null";
        }
    }
    // A tag that has had no value yet, and whose station is not known to fail, has no quality.
    if (s.timeMs == 0) return out + ",\"quality\":\"none\",\"time\":null}";
    out += s.good ? ",\"quality\":\"good\",\"time\":\"" : ",\"quality\":\"bad\",\"time\":\"";
    out += IsoTime(s.timeMs);
    out += "\"}";
    return out;
}

}  // namespace serve
