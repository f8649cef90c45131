#include <chrono>
#include <thread>

#include "platform/fakes.h"
#include "platform/platform.h"

namespace plat {
namespace {

class RealClock : public IClock {
public:
    std::uint32_t GetTickCount() override {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
        return static_cast<std::uint32_t>(ms.count());
    }
    void Sleep(std::uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
};

// Outlives the ordinary statics, like the real device: detach may still need the time.
__attribute__((init_priority(101))) RealClock gRealClock;
std::atomic<IClock*> gClock{&gRealClock};

}  // namespace

IClock& Clock() { return *gClock.load(std::memory_order_acquire); }
void SetClock(IClock* clock) {
    gClock.store(clock ? clock : &gRealClock, std::memory_order_release);
}

std::uint32_t FakeClock::GetTickCount() {
    std::uint32_t step = step_.load();
    return step ? now_.fetch_add(step) : now_.load();
}

void FakeClock::Sleep(std::uint32_t ms) {
    now_.fetch_add(ms);
    slept_.fetch_add(ms);
    if (onSleep) onSleep(ms);
    // Let real threads that the test runs beside this one make progress.
    std::this_thread::yield();
}

}  // namespace plat
