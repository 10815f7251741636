// Fakes shared by the updater's tests.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "Common/Logging.h"
#include "Common/Logs/EventLog.h"
#include "Common/Platform/EventJournal.h"
#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "TestSupport.h"
#include "core/UpdaterCore.h"

namespace TesselSoftware::Testing {

// A text log that keeps every line with its level.
class RecordingLog : public ILogging {
public:
    bool LogV(int32_t level, const char* format, va_list args) override {
        char text[4096];
        std::vsnprintf(text, sizeof text, format, args);
        std::lock_guard lock(mutex_);
        lines_.push_back(std::to_string(level) + " " + text);
        return true;
    }
    std::vector<std::string> Lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool Contains(const std::string& text) const {
        for (const std::string& line : Lines()) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// An event sink that keeps events as "type id text" lines, or fails each
// write with a given error. Safe for concurrent use.
class RecordingEventSink : public IEventSink {
public:
    uint32_t fail_with = 0;  // set before other threads write
    uint32_t Write(const std::string& source, IEventLogging::EventType type, uint32_t event_id,
                   const std::string& text) override {
        if (fail_with != 0) return fail_with;
        char id[16];
        std::snprintf(id, sizeof id, "0x%08X", event_id);
        std::lock_guard lock(mutex_);
        events_.push_back(source + " " + std::to_string(static_cast<int>(type)) + " " + id + " " +
                          text);
        return 0;
    }
    std::vector<std::string> Events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

// An UpdaterCore on a scratch system root, with a text log and an event log
// that record. The settings are not loaded.
struct CoreUnderTest {
    CoreUnderTest() : env("VEXOR_SYSTEM_ROOT", dir.path()) {}
    std::vector<std::string> Events() const { return sink->Events(); }

    ScratchDir dir;
    ScopedEnv env;
    RecordingLog log;
    UpdaterCore core{log};
    std::shared_ptr<RecordingEventSink> sink = std::make_shared<RecordingEventSink>();
    CDTLEventLog event_log{"VexorDatUpdater64", false, true, sink};
};

// Makes folder an engine update source (local folder, kind 2) that offers
// nothing newer than any installed engine, and configures it in the
// registry store: every pass runs its engine update first.
inline void OfferNoNewerEngine(const std::string& folder) {
    WriteFile(folder + "/EngineVersion.ini", "[EngineUpdate]\r\nEngineDir=current\r\n");
    WriteFile(folder + "/current/EngineUpdate.ini",
              "[EngineUpdate]\r\nEngineVersion=0.0.0.0\r\nArchiveName=none.zip\r\nMD5=\r\n");
    RegistryKey key;
    key.Create(RegistryRoot::kLocalMachine, kProductKeyPath);
    key.WriteDword("EngineUpdateSource", 2);
    key.WriteString("EngineUpdateFSDirectory", folder);
}

}  // namespace TesselSoftware::Testing
