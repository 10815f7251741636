// CVexorUpdaterEventLog: the service's event log, which also copies every
// event text (and every event-log failure) into the text log as
// "Event - <text>" at level 8.
#pragma once

#include "Common/Logging.h"
#include "Common/Logs/EventLog.h"

namespace TesselSoftware {

inline constexpr char kServiceName[] = "VexorDatUpdater64";

class CVexorUpdaterEventLog : public CDTLEventLog {
public:
    // text_log must outlive the object.
    CVexorUpdaterEventLog(ILogging& text_log, bool register_now, bool open_now,
                          std::shared_ptr<IEventSink> sink = JournalEventSink())
        : CDTLEventLog(kServiceName, register_now, open_now, std::move(sink)),
          text_log_(text_log) {}

    void OnEventText(const std::string& text) override {
        text_log_.Log(kLogEventMirror, "Event - %s\n", text.c_str());
    }

private:
    ILogging& text_log_;
};

// The service's process-wide event log ("VexorDatUpdater64"), neither
// registered nor opened; created on first use, destroyed at process exit.
CVexorUpdaterEventLog& UpdaterEventLog();

}  // namespace TesselSoftware
