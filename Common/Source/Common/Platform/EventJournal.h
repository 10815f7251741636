// Where events end up: the systemd journal, or a sink a test supplies.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Common/EventLogging.h"

namespace TesselSoftware {

class IEventSink {
public:
    IEventSink() = default;
    IEventSink(const IEventSink&) = delete;
    IEventSink& operator=(const IEventSink&) = delete;
    virtual ~IEventSink() = default;

    // Writes one event; returns 0 or the Win32 number of the failure.
    virtual uint32_t Write(const std::string& source, IEventLogging::EventType type,
                           uint32_t event_id, const std::string& text) = 0;
};

// The journal: identifier = source, PRIORITY err/warning/info by type, and
// the event identifier in the field VEXOR_EVENT_ID. A machine without a
// journal makes every write fail (it never throws or blocks).
std::shared_ptr<IEventSink> JournalEventSink();

}  // namespace TesselSoftware
