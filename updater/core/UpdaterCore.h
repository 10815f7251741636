// UpdaterCore: the service's one central object. This part holds the
// progress and control state shared by the update runs, the control server
// and the service loop: the cancel flag, the trigger event, the updating
// flag, the current status text and the last 20 progress messages.
//
// Every member here is guarded by the state lock; the lock is never held
// while the settings lock is taken. Safe for concurrent use.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Common/AutoResetEvent.h"
#include "Common/Logging.h"
#include "core/UpdateProgress.h"
#include "core/UpdaterSettings.h"
#include "dat/DatUpdater.h"
#include "engine/EngineUpdater.h"

namespace TesselSoftware {

// One message of the history.
struct MessageEntry {
    int64_t time = 0;  // seconds since 1970
    std::string text;
    bool operator==(const MessageEntry&) const = default;
};

class UpdaterCore : public UpdaterSettings, public IUpdateProgress {
public:
    static constexpr size_t kMaxMessages = 20;
    using Clock = std::function<int64_t()>;  // seconds since 1970

    // log receives AddMessage lines and the trigger and cancel lines; it
    // must outlive the object. Becomes the process's current progress sink.
    explicit UpdaterCore(ILogging& log);
    ~UpdaterCore() override;

    // IUpdateProgress
    void AddMessageText(const std::string& text) override;
    bool IsCancelled() const override;
    void SetCurrentStatusText(const std::string& text) override;
    void ReportProgress(int code, const std::string& text, int number) override;

    // For the control server.
    void TriggerUpdate();
    void CancelUpdate();
    bool IsUpdating() const;
    std::string GetCurrentStatusText() const;
    std::vector<MessageEntry> GetMessageHistory() const;

    // For the service loop.
    AutoResetEvent& TriggerEvent() { return trigger_event_; }
    void SetUpdating(bool updating);
    void ClearCancel();

    ILogging& Log() const { return log_; }
    void SetClockForTesting(Clock clock);
    // Called with each message as it is added (after the state lock is
    // released); for console front ends.
    void SetMessageObserver(std::function<void(const std::string&)> observer);

    DatUpdater& GetDatUpdater() { return dat_updater_; }
    EngineUpdater& GetEngineUpdater() { return engine_updater_; }
    // The installed DAT version for the control interface.
    std::string GetDATVersionText() { return dat_updater_.GetDATVersionText(); }

private:
    ILogging& log_;
    DatUpdater dat_updater_{*this, *this, log_};
    EngineUpdater engine_updater_{*this, *this, log_};
    mutable std::recursive_mutex state_lock_;
    bool cancelled_ = false;               // GUARDED_BY(state_lock_)
    AutoResetEvent trigger_event_;
    bool updating_ = false;                // GUARDED_BY(state_lock_)
    std::string current_status_text_;      // GUARDED_BY(state_lock_)
    std::vector<MessageEntry> history_;    // GUARDED_BY(state_lock_), oldest first
    Clock clock_;                          // GUARDED_BY(state_lock_)
    std::function<void(const std::string&)> observer_;  // GUARDED_BY(state_lock_)
};

}  // namespace TesselSoftware
