// An auto-reset event: Set releases one waiter (or the next one to wait); Pulse releases one
// thread that is waiting now and otherwise leaves the event not signalled.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

inline constexpr std::uint32_t INFINITE = 0xFFFFFFFFu;

class CEvent {
public:
    explicit CEvent(bool initiallySignalled = false) : signalled_(initiallySignalled) {}
    void SetEvent();
    void PulseEvent();
    void ResetEvent();
    // Waits up to timeoutMs (INFINITE: no limit); true when the event was signalled.
    bool Lock(std::uint32_t timeoutMs = INFINITE);

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool signalled_;
    int waiters_ = 0;
    std::uint64_t pulses_ = 0;  // pulses not yet taken by a waiter
};
