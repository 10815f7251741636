#include "Common/AutoResetEvent.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace TesselSoftware {

namespace {

// All events share one mutex and condition variable: that makes a wait for
// any of several events a plain predicate wait. Events are set rarely (stop,
// trigger), so the shared wake-ups cost nothing measurable.
struct EventHub {
    std::mutex mutex;
    std::condition_variable changed;
};

EventHub& Hub() {
    static EventHub hub;
    return hub;
}

}  // namespace

void AutoResetEvent::Set() {
    EventHub& hub = Hub();
    {
        std::lock_guard lock(hub.mutex);
        signalled_ = true;
    }
    hub.changed.notify_all();
}

void AutoResetEvent::Reset() {
    std::lock_guard lock(Hub().mutex);
    signalled_ = false;
}

bool AutoResetEvent::Wait(int64_t timeout_ms) { return WaitForAny({this}, timeout_ms) == 0; }

int AutoResetEvent::WaitForAny(std::initializer_list<AutoResetEvent*> events, int64_t timeout_ms) {
    EventHub& hub = Hub();
    std::unique_lock lock(hub.mutex);
    int index = kTimedOut;
    auto take_signalled = [&] {
        int i = 0;
        for (AutoResetEvent* event : events) {
            if (event->signalled_) {
                event->signalled_ = false;
                index = i;
                return true;
            }
            ++i;
        }
        return false;
    };
    if (timeout_ms < 0) {
        hub.changed.wait(lock, take_signalled);
    } else {
        hub.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), take_signalled);
    }
    return index;
}

}  // namespace TesselSoftware
