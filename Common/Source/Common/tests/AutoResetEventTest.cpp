#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Common/AutoResetEvent.h"
#include "Common/InterlockedCounter.h"

namespace TesselSoftware {
namespace {

TEST(AutoResetEvent, TimesOutWhenNothingIsSet) {
    AutoResetEvent stop, trigger;
    EXPECT_EQ(AutoResetEvent::kTimedOut, AutoResetEvent::WaitForAny({&stop, &trigger}, 10));
}

TEST(AutoResetEvent, SignalStaysUntilTakenOnceThenResets) {
    AutoResetEvent stop, trigger;
    trigger.Set();
    trigger.Set();  // setting twice is still one signal
    EXPECT_EQ(1, AutoResetEvent::WaitForAny({&stop, &trigger}, 0));
    EXPECT_EQ(AutoResetEvent::kTimedOut, AutoResetEvent::WaitForAny({&stop, &trigger}, 0));
}

TEST(AutoResetEvent, FirstSignalledInListOrderWinsAndTheOtherStays) {
    AutoResetEvent stop, trigger;
    trigger.Set();
    stop.Set();
    EXPECT_EQ(0, AutoResetEvent::WaitForAny({&stop, &trigger}, 0));
    EXPECT_EQ(1, AutoResetEvent::WaitForAny({&stop, &trigger}, 0));
}

TEST(AutoResetEvent, ResetClearsAPendingSignal) {
    AutoResetEvent event;
    event.Set();
    event.Reset();
    EXPECT_FALSE(event.Wait(0));
}

TEST(AutoResetEvent, SetFromAnotherThreadWakesTheWaiter) {
    AutoResetEvent stop, trigger;
    std::thread setter([&] { trigger.Set(); });
    EXPECT_EQ(1, AutoResetEvent::WaitForAny({&stop, &trigger}, AutoResetEvent::kInfinite));
    setter.join();
}

TEST(AutoResetEvent, EachSetReleasesExactlyOneOfManyWaiters) {
    AutoResetEvent event;
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            if (event.Wait(2000)) released++;
        });
    }
    for (int i = 0; i < 3; ++i) {
        event.Set();
        while (released.load() != i + 1) std::this_thread::yield();
    }
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(3, released.load());
}

TEST(InterlockedCounter, ConcurrentIncrementsAreNotLost) {
    InterlockedCounter counter;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) counter.Increment();
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(40000, counter.Get());
    EXPECT_EQ(39999, counter.Decrement());
}

}  // namespace
}  // namespace TesselSoftware
