#include "Common/Platform/EventJournal.h"

#include <syslog.h>
#include <systemd/sd-journal.h>

#include "Common/Platform/Win32Error.h"

namespace TesselSoftware {

namespace {

class JournalSink final : public IEventSink {
public:
    uint32_t Write(const std::string& source, IEventLogging::EventType type, uint32_t event_id,
                   const std::string& text) override {
        const int priority = type == IEventLogging::EventType::kError     ? LOG_ERR
                             : type == IEventLogging::EventType::kWarning ? LOG_WARNING
                                                                         : LOG_INFO;
        const int rc = sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%d", priority,
                                       "SYSLOG_IDENTIFIER=%s", source.c_str(),
                                       "VEXOR_EVENT_ID=%u", event_id, nullptr);
        return rc < 0 ? ErrnoToWin32(-rc) : Win32::kSuccess;
    }
};

}  // namespace

std::shared_ptr<IEventSink> JournalEventSink() {
    static const std::shared_ptr<IEventSink> sink = std::make_shared<JournalSink>();
    return sink;
}

}  // namespace TesselSoftware
