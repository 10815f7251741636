#include "TestClock.h"

#include <algorithm>

namespace TesselSoftware::Testing {

int TestClock::WaitForAny(std::initializer_list<AutoResetEvent*> events, int64_t timeout_ms) {
    if (timeout_ms < 0) return AutoResetEvent::WaitForAny(events, timeout_ms);
    // A clock that moves itself on waits for nothing in real time.
    const int64_t real_ms = advance_on_wait_ ? 0 : std::min(timeout_ms, real_wait_ms_);
    const int woke = AutoResetEvent::WaitForAny(events, real_ms);
    if (woke != AutoResetEvent::kTimedOut) return woke;
    if (advance_on_wait_ && timeout_ms > 0) now_.fetch_add((timeout_ms + 999) / 1000);
    std::function<void(int64_t)> on_wait;
    {
        std::lock_guard lock(hook_lock_);
        on_wait = on_wait_;
    }
    if (on_wait) on_wait(now_.load());
    return AutoResetEvent::kTimedOut;
}

void TestClock::SetOnWait(std::function<void(int64_t now)> on_wait) {
    std::lock_guard lock(hook_lock_);
    on_wait_ = std::move(on_wait);
}

}  // namespace TesselSoftware::Testing
