// The auto-reset event: set is kept until one waiter takes it; pulse only wakes a waiter.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "framework/sync.h"

TEST(Event, SetIsTakenByOneWaitAndResetsItself) {
    CEvent e;
    EXPECT_FALSE(e.Lock(0));
    e.SetEvent();
    EXPECT_TRUE(e.Lock(0));
    EXPECT_FALSE(e.Lock(0));
}

TEST(Event, ResetClearsASetEvent) {
    CEvent e(true);
    e.ResetEvent();
    EXPECT_FALSE(e.Lock(0));
}

TEST(Event, PulseWithoutWaiterIsLost) {
    CEvent e;
    e.PulseEvent();
    EXPECT_FALSE(e.Lock(0));
}

TEST(Event, PulseWakesAWaitingThread) {
    CEvent e;
    std::atomic<bool> woke{false};
    std::atomic<bool> waiting{false};
    std::thread t([&] {
        waiting = true;
        woke = e.Lock(INFINITE);
    });
    // Pulse until the waiter has taken one; a pulse before it waits is lost, by design.
    while (!woke) {
        if (waiting) e.PulseEvent();
        std::this_thread::yield();
    }
    t.join();
    EXPECT_TRUE(woke);
    EXPECT_FALSE(e.Lock(0));
}
