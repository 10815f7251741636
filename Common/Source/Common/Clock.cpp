#include "Common/Clock.h"

#include <atomic>
#include <ctime>

namespace TesselSoftware {

namespace {

class RealClock final : public Clock {
public:
    int64_t Now() override { return static_cast<int64_t>(std::time(nullptr)); }
    int WaitForAny(std::initializer_list<AutoResetEvent*> events, int64_t timeout_ms) override {
        return AutoResetEvent::WaitForAny(events, timeout_ms);
    }
};

std::atomic<Clock*> g_service_clock{nullptr};

}  // namespace

Clock& SystemClock() {
    static RealClock clock;
    return clock;
}

Clock& ServiceClock() {
    Clock* const clock = g_service_clock.load(std::memory_order_acquire);
    return clock != nullptr ? *clock : SystemClock();
}

ScopedServiceClock::ScopedServiceClock(Clock& clock)
    : previous_(g_service_clock.exchange(&clock, std::memory_order_acq_rel)) {}

ScopedServiceClock::~ScopedServiceClock() { g_service_clock.store(previous_, std::memory_order_release); }

}  // namespace TesselSoftware
