// IEventLogging: reports events (error, warning, information) to the
// system's event log, and the process-wide "current event log" used by code
// that has no logger at hand (tree deletion, assertion reports).
#pragma once

#include <cstdarg>
#include <cstdint>

#include "Common/Logging.h"

namespace TesselSoftware {

class IEventLogging : public ILogging {
public:
    // Each returns true when the event was written.
    bool ReportError(const char* format, ...) __attribute__((format(printf, 2, 3)));
    bool ReportWarning(const char* format, ...) __attribute__((format(printf, 2, 3)));
    bool ReportInformation(const char* format, ...) __attribute__((format(printf, 2, 3)));
    bool ReportErrorWithId(uint32_t event_id, const char* format, ...)
        __attribute__((format(printf, 3, 4)));

    enum class EventType : uint16_t { kError = 1, kWarning = 2, kInformation = 4 };

    // Writes one event of the given type and identifier.
    virtual bool ReportV(EventType type, uint32_t event_id, const char* format, va_list args) = 0;

    static constexpr uint32_t kErrorEventId = 0xC0000BB8;
    static constexpr uint32_t kWarningEventId = 0x800007D0;
    static constexpr uint32_t kInformationEventId = 1000;
};

// The current event log, or nullptr. The first object that claims the role
// keeps it until it gives it up; safe to call from any thread.
IEventLogging* CurrentEventLog();
// Makes log current when no other object is; returns whether it is now.
bool ClaimCurrentEventLog(IEventLogging* log);
// Gives up the role if log holds it.
void ReleaseCurrentEventLog(IEventLogging* log);

}  // namespace TesselSoftware
