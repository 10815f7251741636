#include "Common/EventLogging.h"

#include <atomic>

namespace TesselSoftware {

namespace {

std::atomic<IEventLogging*> g_current_event_log{nullptr};

}  // namespace

#define VEXOR_FORWARD_REPORT(type, id)               \
    va_list args;                                    \
    va_start(args, format);                          \
    const bool written = ReportV(type, id, format, args); \
    va_end(args);                                    \
    return written

bool IEventLogging::ReportError(const char* format, ...) {
    VEXOR_FORWARD_REPORT(EventType::kError, kErrorEventId);
}

bool IEventLogging::ReportWarning(const char* format, ...) {
    VEXOR_FORWARD_REPORT(EventType::kWarning, kWarningEventId);
}

bool IEventLogging::ReportInformation(const char* format, ...) {
    VEXOR_FORWARD_REPORT(EventType::kInformation, kInformationEventId);
}

bool IEventLogging::ReportErrorWithId(uint32_t event_id, const char* format, ...) {
    VEXOR_FORWARD_REPORT(EventType::kError, event_id);
}

#undef VEXOR_FORWARD_REPORT

IEventLogging* CurrentEventLog() { return g_current_event_log.load(std::memory_order_acquire); }

bool ClaimCurrentEventLog(IEventLogging* log) {
    IEventLogging* expected = nullptr;
    return g_current_event_log.compare_exchange_strong(expected, log) || expected == log;
}

void ReleaseCurrentEventLog(IEventLogging* log) {
    IEventLogging* expected = log;
    g_current_event_log.compare_exchange_strong(expected, nullptr);
}

}  // namespace TesselSoftware
