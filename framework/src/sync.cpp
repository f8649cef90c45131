#include "framework/sync.h"

#include <chrono>

void CEvent::SetEvent() {
    std::lock_guard<std::mutex> lock(mu_);
    signalled_ = true;
    cv_.notify_one();
}

void CEvent::PulseEvent() {
    std::lock_guard<std::mutex> lock(mu_);
    if (waiters_ > static_cast<int>(pulses_)) {
        ++pulses_;
        cv_.notify_all();
    }
    signalled_ = false;
}

void CEvent::ResetEvent() {
    std::lock_guard<std::mutex> lock(mu_);
    signalled_ = false;
}

bool CEvent::Lock(std::uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mu_);
    auto ready = [this] { return signalled_ || pulses_ > 0; };
    ++waiters_;
    bool ok;
    if (timeoutMs == INFINITE) {
        cv_.wait(lock, ready);
        ok = true;
    } else {
        ok = cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    }
    --waiters_;
    if (ok) {
        if (pulses_ > 0)
            --pulses_;
        else
            signalled_ = false;  // auto-reset
    }
    return ok;
}
