// Clock: where the service asks what time it is and waits for its events.
//
//   Clock& clock = ServiceClock();
//   const int64_t now = clock.Now();
//   switch (clock.WaitForAny({&stop, &trigger}, 15000)) { ... }
//
// Every time decision of the updater service (its wake-ups, next and last
// check, splay, cool-downs, status and history times, the wrong-clock guard)
// reads ServiceClock(), so a simulation can run months of service life in
// seconds by putting a clock of its own in place. Waits on the network and
// on child processes keep their real time-outs and do not go through here.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "Common/AutoResetEvent.h"

namespace TesselSoftware {

class Clock {
public:
    Clock() = default;
    Clock(const Clock&) = delete;
    Clock& operator=(const Clock&) = delete;
    virtual ~Clock() = default;

    // Seconds since 1970-01-01 UTC.
    virtual int64_t Now() = 0;
    // AutoResetEvent::WaitForAny, with the time-out measured on this clock:
    // the index of the event taken, or AutoResetEvent::kTimedOut.
    virtual int WaitForAny(std::initializer_list<AutoResetEvent*> events, int64_t timeout_ms) = 0;
};

// The machine's real clock. Safe for concurrent use.
Clock& SystemClock();

// The clock of the service in this process: SystemClock() unless a
// simulation or a test put another in place.
Clock& ServiceClock();

// Puts clock in place of the service clock for the object's lifetime. Make
// it before the service's threads start and end it after they have ended.
class ScopedServiceClock {
public:
    explicit ScopedServiceClock(Clock& clock);
    ~ScopedServiceClock();
    ScopedServiceClock(const ScopedServiceClock&) = delete;
    ScopedServiceClock& operator=(const ScopedServiceClock&) = delete;

private:
    Clock* const previous_;
};

}  // namespace TesselSoftware
