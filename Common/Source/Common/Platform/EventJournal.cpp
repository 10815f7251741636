#include "Common/Platform/EventJournal.h"

#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-journal.h>

#include <cerrno>

#include "Common/Errors/Win32Error.h"

namespace TesselSoftware {

namespace {

class JournalSink final : public IEventSink {
public:
    explicit JournalSink(std::string socket_path) : socket_path_(std::move(socket_path)) {}

    uint32_t Write(const std::string& source, IEventLogging::EventType type, uint32_t event_id,
                   const std::string& text) override {
        // sd_journal_send drops a message silently and returns 0 when the
        // socket is missing (containers, early boot): that is no write.
        struct stat info;
        if (::stat(socket_path_.c_str(), &info) != 0) return ErrnoToWin32(errno);
        if (!S_ISSOCK(info.st_mode)) return Win32::kFileNotFound;
        const int priority = type == IEventLogging::EventType::kError     ? LOG_ERR
                             : type == IEventLogging::EventType::kWarning ? LOG_WARNING
                                                                         : LOG_INFO;
        const int rc = sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%d", priority,
                                       "SYSLOG_IDENTIFIER=%s", source.c_str(),
                                       "VEXOR_EVENT_ID=%u", event_id, nullptr);
        return rc < 0 ? ErrnoToWin32(-rc) : Win32::kSuccess;
    }

private:
    const std::string socket_path_;
};

}  // namespace

std::shared_ptr<IEventSink> JournalEventSink() {
    static const std::shared_ptr<IEventSink> sink = std::make_shared<JournalSink>(kJournalSocketPath);
    return sink;
}

std::shared_ptr<IEventSink> JournalEventSink(const std::string& socket_path) {
    return std::make_shared<JournalSink>(socket_path);
}

}  // namespace TesselSoftware
