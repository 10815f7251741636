#include "Common/Logs/EventLog.h"

#include <unistd.h>

#include <cstdio>

#include "Common/Errors/ErrorText.h"
#include "Common/Errors/Win32Error.h"
#include "Common/Registry/RegistryKey.h"

namespace TesselSoftware {

namespace {

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    size_t at = 0;
    while ((at = text.find(from, at)) != std::string::npos) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
}

std::string ProgramPath() {
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

}  // namespace

CDTLEventLog::CDTLEventLog(std::string source_name, bool register_now, bool open_now,
                           std::shared_ptr<IEventSink> sink)
    : source_name_(std::move(source_name)), sink_(std::move(sink)) {
    if (register_now && !Register()) throw CEventException(last_error_);
    if (open_now && !Open()) throw CEventException(last_error_);
}

CDTLEventLog::~CDTLEventLog() { Close(); }

bool CDTLEventLog::Fail(std::string text) {
    last_error_ = std::move(text);
    OnEventText(last_error_);
    return false;
}

bool CDTLEventLog::Register(const std::string& module) {
    RegistryKey key;
    try {
        key.Create(RegistryRoot::kLocalMachine,
                   "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source_name_);
    } catch (const ExceptionBase&) {
        return Fail("Could not create registry key");
    }
    try {
        key.WriteExpandString("EventMessageFile", module.empty() ? ProgramPath() : module);
    } catch (const ExceptionBase&) {
        return Fail("Could not set event message file");
    }
    try {
        key.WriteDword("TypesSupported", 31);
    } catch (const ExceptionBase&) {
        return Fail("Could not set supported types");
    }
    return true;
}

bool CDTLEventLog::Open() {
    // The journal needs no registration: opening always succeeds, and a
    // machine without a journal shows up as failed writes.
    open_ = true;
    ClaimCurrentEventLog(this);
    return true;
}

void CDTLEventLog::Close() {
    open_ = false;
    ReleaseCurrentEventLog(this);
}

bool CDTLEventLog::LogV(int32_t /*level*/, const char* format, va_list args) {
    return ReportV(EventType::kError, kErrorEventId, format, args);
}

bool CDTLEventLog::ReportV(EventType type, uint32_t event_id, const char* format, va_list args) {
    if (!open_) return Fail("EventLog not open");
    char buffer[2048];
    std::vsnprintf(buffer, sizeof buffer, format, args);
    std::string text = buffer;
    ReplaceAll(text, "\r\n", "\n");
    OnEventText(text);
    ReplaceAll(text, "\n", "\r\n");
    const uint32_t error = sink_->Write(source_name_, type, event_id, text);
    if (error == Win32::kFileNotFound) {
        // No journal runs here (a container, a rescue boot): every event
        // goes to the text log through the mirror above, and that is said
        // once, not after each event.
        last_error_ = "Failed to log event err=" + FormatErrorText(error);
        if (!told_no_journal_.exchange(true)) {
            OnEventText("No journal is running: events are written to the text log only.\n");
        }
        return false;
    }
    if (error != 0) return Fail("Failed to log event err=" + FormatErrorText(error));
    return true;
}

void CDTLEventLog::OnEventText(const std::string& /*text*/) {}

}  // namespace TesselSoftware
