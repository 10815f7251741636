// UpdaterCore: the service's one central object. It holds the progress and
// control state shared by the update runs, the control server and the
// service loop (the cancel flag, the trigger event, the updating flag, the
// current status text and the last 20 progress messages), and runs the
// service loop itself (ServiceLoop.cpp).
//
// Every member here is guarded by the state lock; the lock is never held
// while the settings lock is taken. Safe for concurrent use.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Common/AutoResetEvent.h"
#include "Common/EventLogging.h"
#include "Common/Logging.h"
#include "Common/Platform/LockFile.h"
#include "Common/Rpc/RPCServer.h"
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
    // Called with each message as it is added (after the state lock is
    // released); for console front ends.
    void SetMessageObserver(std::function<void(const std::string&)> observer);

    // The service loop: loads the settings, starts the control server, then
    // runs one update pass whenever it is triggered or due, until Stop.
    // False (with an event-log warning) when a loop already runs.
    bool RunLoop();
    void ServiceLoop();
    // How a pass ended: failed (its error text; the history's last line is
    // "Error: " and that text) or not, and whether it installed anything.
    struct PassOutcome {
        bool failed = false;
        bool installed = false;
        std::string error;
        std::string LastLine() const;  // "Check finished." or "Error: ..."
    };
    // One pass with its records, for the loop and the one-shot run: the
    // machine's pass record gives it a number before its first line (and
    // closes a pass a crash left open, when pass_lock is held), the pass
    // runs, LastCheckTime and the next check are saved, a trigger that came
    // during the pass is dropped, and last the record gets the pass's end,
    // so whoever sees the end also sees the check time. Never throws.
    PassOutcome RunRecordedPass(std::unique_ptr<ExclusiveLockFile> pass_lock, const std::string& busy);
    // Warns (one event) when no trusted key is installed: updates are then
    // not signature-checked. For the start of the service and of -once.
    void ReportSignatureState();
    // Reads the trusted keys for a pass: with keys, every download of the
    // pass must be signed by one of them; without key files, nothing is
    // checked. False with *failure when key files exist but none can be
    // used (never a silent fall-back to unchecked downloads); each file that
    // is not a key is reported in the message history.
    bool UseTrustedKeys(std::string* failure);
    // Ends the loop: at once when idle; a running pass is cancelled (its
    // transfers and child processes end within about a second) and ends at
    // its next safe point, never between the switch and the save.
    void Stop();
    // Why the last loop ended before it served (settings or control server
    // could not be started); "" after a requested stop.
    std::string StartFailure() const;

    // The control interface the loop serves; set before RunLoop.
    void SetControlInterface(RpcServerInterface definition);
    // Called once the settings are loaded and the control endpoint listens.
    void SetReadyCallback(std::function<void()> ready);
    // Called when the loop cannot go on (the service's own Stop, which logs
    // the request); Stop when unset.
    void SetStopRequester(std::function<void()> stop);
    // The event log of the loop's reports; UpdaterEventLog() when unset.
    void SetEventLog(IEventLogging* event_log);
    // Replaces the engine and DAT runs of a pass (loop tests).
    void SetPassForTesting(std::function<void()> pass);
    CRPCServer& ControlServer() { return control_server_; }

    DatUpdater& GetDatUpdater() { return dat_updater_; }
    EngineUpdater& GetEngineUpdater() { return engine_updater_; }
    // The installed DAT version for the control interface.
    std::string GetDATVersionText() { return dat_updater_.GetDATVersionText(); }

private:
    static constexpr int64_t kLoopWaitMs = 15000;
    // One pass: the engine update, then the DAT update. Never throws; a
    // failure is reported and leaves the updating flag cleared. Without
    // pass_lock (another pass holds the machine's) it fails at once with
    // busy as its reason.
    PassOutcome PerformUpdate(std::unique_ptr<ExclusiveLockFile> pass_lock, const std::string& busy);
    // Writes the idle status; a store failure is logged, never fatal.
    void WriteIdleStatus();
    bool CheckIsDue(int64_t now) const;
    PassOutcome ReportFailedPass(const char* event_format, const std::string& text);
    IEventLogging& Events() const;

    ILogging& log_;
    DatUpdater dat_updater_{*this, *this, log_};
    EngineUpdater engine_updater_{*this, *this, log_};
    mutable std::recursive_mutex state_lock_;
    bool cancelled_ = false;               // GUARDED_BY(state_lock_)
    AutoResetEvent trigger_event_;
    bool updating_ = false;                // GUARDED_BY(state_lock_)
    std::string current_status_text_;      // GUARDED_BY(state_lock_)
    std::vector<MessageEntry> history_;    // GUARDED_BY(state_lock_), oldest first
    std::function<void(const std::string&)> observer_;  // GUARDED_BY(state_lock_)

    // The loop's own members; the callbacks are set before RunLoop.
    std::atomic<int> running_count_{0};
    std::atomic<bool> stopping_{false};  // set by Stop, cleared when a loop starts
    CRPCServer control_server_;
    AutoResetEvent stop_event_;
    std::optional<RpcServerInterface> control_interface_;
    std::function<void()> ready_;
    std::function<void()> stop_requester_;
    IEventLogging* event_log_ = nullptr;
    std::function<void()> pass_for_testing_;
    std::string start_failure_;  // GUARDED_BY(state_lock_)
};

}  // namespace TesselSoftware
