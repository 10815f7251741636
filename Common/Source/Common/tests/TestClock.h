// A clock the test owns, for code that reads the service clock.
//
//   TestClock clock(1'800'000'000);
//   ScopedServiceClock use(clock);
//   clock.Advance(3600);                 // an hour later, at once
//
// Its waits last at most real_wait_ms of real time (an event still ends them
// at once), so a loop's 15-second wake-ups come every few milliseconds. With
// SetAdvanceOnWait, a wait that times out also moves the clock on by its
// whole time-out, as if it had been waited: a loop then lives through
// simulated hours as fast as it can wake up. Safe for concurrent use.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "Common/Clock.h"

namespace TesselSoftware::Testing {

class TestClock final : public Clock {
public:
    explicit TestClock(int64_t start, int64_t real_wait_ms = 20) : now_(start), real_wait_ms_(real_wait_ms) {}

    int64_t Now() override { return now_.load(); }
    int WaitForAny(std::initializer_list<AutoResetEvent*> events, int64_t timeout_ms) override;

    void Set(int64_t now) { now_.store(now); }
    void Advance(int64_t seconds) { now_.fetch_add(seconds); }
    void SetAdvanceOnWait(bool advance) { advance_on_wait_.store(advance); }
    // Runs on the waiting thread after each wait that timed out (and moved
    // the clock, when it does), with the clock's time.
    void SetOnWait(std::function<void(int64_t now)> on_wait);

private:
    std::atomic<int64_t> now_;
    const int64_t real_wait_ms_;
    std::atomic<bool> advance_on_wait_{false};
    std::mutex hook_lock_;
    std::function<void(int64_t)> on_wait_;  // GUARDED_BY(hook_lock_)
};

}  // namespace TesselSoftware::Testing
