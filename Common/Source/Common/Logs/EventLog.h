// CDTLEventLog: a reusable event-log writer over the system journal.
//
//   CDTLEventLog log("VexorDatUpdater64", true, true);   // throws CEventException
//   log.ReportInformation("Starting Vexor DAT Updater...\n");
//
// The first object that opens becomes the process's current event log;
// closing or destroying it gives the role up. Nothing throws after
// construction: each failure is a false result and a last-error text that
// is also passed to OnEventText. Reporting takes no lock; setting up
// (Register, Open, Close) belongs to start-up, before other threads run.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "Common/Errors/ExceptionBase.h"
#include "Common/EventLogging.h"
#include "Common/Platform/EventJournal.h"

namespace TesselSoftware {

class CEventException : public ExceptionBase {
public:
    explicit CEventException(std::string message) : ExceptionBase(0, std::move(message)) {}
};

class CDTLEventLog : public IEventLogging {
public:
    // Registers and/or opens at once when asked; throws CEventException with
    // the last error text when either fails.
    CDTLEventLog(std::string source_name, bool register_now, bool open_now,
                 std::shared_ptr<IEventSink> sink = JournalEventSink());
    ~CDTLEventLog() override;

    // Writes the event source's key below HKLM\SYSTEM\...\EventLog\Application
    // with EventMessageFile (module, or this program when empty) and
    // TypesSupported 31.
    bool Register(const std::string& module = "");
    bool Open();
    void Close();

    // ILogging: every line is an error event (0xC0000BB8).
    bool LogV(int32_t level, const char* format, va_list args) override
        __attribute__((format(printf, 3, 0)));
    bool ReportV(EventType type, uint32_t event_id, const char* format, va_list args) override
        __attribute__((format(printf, 4, 0)));

    // Receives every event text (with bare "\n" line ends) and every failure
    // text, but of a missing journal only the first; does nothing here.
    virtual void OnEventText(const std::string& text);

    const std::string& LastError() const { return last_error_; }
    const std::string& SourceName() const { return source_name_; }
    bool IsOpen() const { return open_; }

private:
    bool Fail(std::string text);

    std::string last_error_;
    bool open_ = false;
    std::atomic<bool> told_no_journal_{false};
    const std::string source_name_;
    const std::shared_ptr<IEventSink> sink_;
};

}  // namespace TesselSoftware
