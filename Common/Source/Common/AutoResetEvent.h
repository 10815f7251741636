// Auto-reset events with a wait for any of several events.
//
//   AutoResetEvent stop, trigger;
//   switch (AutoResetEvent::WaitForAny({&stop, &trigger}, 15000)) {
//       case 0: ...stopped...; case 1: ...triggered...;
//       case AutoResetEvent::kTimedOut: ...
//   }
//
// Set() leaves the event signalled until exactly one waiter takes it; taking
// it resets it. Safe for concurrent use from any number of threads.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace TesselSoftware {

class AutoResetEvent {
public:
    static constexpr int kTimedOut = -1;
    static constexpr int64_t kInfinite = -1;

    AutoResetEvent() = default;
    AutoResetEvent(const AutoResetEvent&) = delete;
    AutoResetEvent& operator=(const AutoResetEvent&) = delete;

    void Set();
    void Reset();
    // Waits until this event is signalled (true) or the time-out passes
    // (false). timeout_ms = kInfinite waits without limit.
    bool Wait(int64_t timeout_ms);

    // Waits until one of the events is signalled, resets that one and
    // returns its index; the first signalled event in list order wins.
    // Returns kTimedOut when none was signalled within timeout_ms.
    static int WaitForAny(std::initializer_list<AutoResetEvent*> events, int64_t timeout_ms);

private:
    bool signalled_ = false;  // REQUIRES: the shared event mutex held
};

}  // namespace TesselSoftware
