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

// Where journald listens for native messages; libsystemd sends there.
inline constexpr char kJournalSocketPath[] = "/run/systemd/journal/socket";

// The journal: identifier = source, PRIORITY err/warning/info by type, and
// the event identifier in the field VEXOR_EVENT_ID. A machine without a
// journal makes every write fail with 2 (libsystemd alone would report such
// a write as done); it never throws or blocks. socket_path names the socket
// whose presence is checked (tests point it elsewhere).
std::shared_ptr<IEventSink> JournalEventSink();
std::shared_ptr<IEventSink> JournalEventSink(const std::string& socket_path);

}  // namespace TesselSoftware
