// The service loop and the update pass of UpdaterCore.
#include <exception>

#include "Common/Clock.h"
#include "Common/Errors/ExceptionBase.h"
#include "core/PassRecord.h"
#include "core/UpdatePassLock.h"
#include "core/UpdaterCore.h"
#include "core/VexorUpdaterEventLog.h"

namespace TesselSoftware {

namespace {

constexpr char kControlEndpoint[] = "VexorfTUpdater_RPC64";

// Clears the updating flag however the pass ends.
class UpdatingScope {
public:
    explicit UpdatingScope(UpdaterCore& core) : core_(core) { core_.SetUpdating(true); }
    ~UpdatingScope() { core_.SetUpdating(false); }
    UpdatingScope(const UpdatingScope&) = delete;
    UpdatingScope& operator=(const UpdatingScope&) = delete;

private:
    UpdaterCore& core_;
};

}  // namespace

void UpdaterCore::SetControlInterface(RpcServerInterface definition) { control_interface_ = std::move(definition); }
void UpdaterCore::SetReadyCallback(std::function<void()> ready) { ready_ = std::move(ready); }
void UpdaterCore::SetStopRequester(std::function<void()> stop) { stop_requester_ = std::move(stop); }
void UpdaterCore::SetEventLog(IEventLogging* event_log) { event_log_ = event_log; }
void UpdaterCore::SetPassForTesting(std::function<void()> pass) { pass_for_testing_ = std::move(pass); }

IEventLogging& UpdaterCore::Events() const {
    return event_log_ != nullptr ? *event_log_ : static_cast<IEventLogging&>(UpdaterEventLog());
}

std::string UpdaterCore::StartFailure() const {
    std::lock_guard lock(state_lock_);
    return start_failure_;
}

void UpdaterCore::Stop() {
    stopping_ = true;
    stop_event_.Set();
}

bool UpdaterCore::RunLoop() {
    int expected = 0;
    if (!running_count_.compare_exchange_strong(expected, 1)) {
        Events().ReportWarning("DAT File Updater Thread already running when requested to run again?");
        return false;
    }
    stopping_ = false;
    ServiceLoop();
    running_count_ = 0;
    return true;
}

void UpdaterCore::WriteIdleStatus() {
    try {
        SetUpdateStatus("Idle", 40, 0);
    } catch (const ExceptionBase& e) {
        // A store hiccup must not end the service; the next wake-up retries.
        log_.Log(kLogLoopError, "%s\r\n", e.Message().c_str());
    }
}

bool UpdaterCore::CheckIsDue(int64_t now) const {
    const int64_t next = NextCheckTime();
    // No schedule puts the next check further ahead than an interval and
    // this machine's splay offset: one that is came from a clock that was
    // ahead (or has been set back) or a bad stored value, and waiting for
    // it could stop updates for months.
    return now >= next || next - now > UpdateInterval() + SplayOffset();
}

void UpdaterCore::ServiceLoop() {
    {
        std::lock_guard lock(state_lock_);
        start_failure_.clear();
    }
    try {
        Load();
        if (!control_interface_ || !control_server_.UseEndpoint(kControlEndpoint) ||
            !control_server_.RegisterInterface(*control_interface_) || !control_server_.Listen()) {
            Events().ReportError("Unable to initialize RPC server\r\n");
            throw ExceptionBase("Unable to initialize RPC server");
        }
        if (ready_) ready_();
        Events().ReportInformation("Vexor Updater Service has started\r\n");
        ReportSignatureState();
        SetCurrentStatusText("Idle");
        WriteIdleStatus();
        for (;;) {
            const int woke = ServiceClock().WaitForAny({&stop_event_, &trigger_event_}, kLoopWaitMs);
            WriteIdleStatus();
            SetCurrentStatusText("Idle");
            if (woke == 0) {
                control_server_.UnregisterAll();
                break;
            }
            SetCurrentStatusText("Idle");
            const bool due = CheckIsDue(ServiceClock().Now());
            if (woke != 1 && !due) continue;
            if (due) log_.Log(kLogTrace, "An update has been started as per the set schedule.\r\n");
            std::string busy;
            auto pass_lock = TakeUpdatePassLock(&busy);
            RunRecordedPass(std::move(pass_lock), busy);
        }
    } catch (const ExceptionBase& e) {
        Events().ReportError("Error Updating DAT Files - %s\r\n", e.Message().c_str());
        log_.Log(kLogLoopError, "stopping service...\r\n");
        {
            std::lock_guard lock(state_lock_);
            start_failure_ = e.Message();
        }
        if (stop_requester_) {
            stop_requester_();
        } else {
            Stop();
        }
        stop_event_.Reset();  // the loop has ended; the request is answered
    }
    Events().ReportInformation("Vexor Updater Service has stopped\r\n");
}

std::string UpdaterCore::PassOutcome::LastLine() const {
    return failed ? "Error: " + error : std::string(kPassSucceeded);
}

UpdaterCore::PassOutcome UpdaterCore::ReportFailedPass(const char* event_format, const std::string& text) {
    // Reporting must not throw out of the pass: each step is on its own.
    const std::string status = "Error: " + text;
    Events().ReportError(event_format, text.c_str());
    CleanUpQuietly([&] { SetUpdateStatus(status, 20, 1); });
    SetCurrentStatusText(status);
    AddMessageText(status);
    return {true, false, text};
}

UpdaterCore::PassOutcome UpdaterCore::PerformUpdate(std::unique_ptr<ExclusiveLockFile> pass_lock,
                                                    const std::string& busy) {
    // Updating before the opening line: whoever sees the line also sees
    // the pass running until it has ended.
    UpdatingScope updating(*this);
    AddMessage("******* Performing update *******");
    try {
        // One pass at a time per machine, the one-shot run included.
        if (!pass_lock) {
            // Not an engine failure: no pass ran at all.
            return ReportFailedPass("The update pass was not started: %s", busy);
        }
        // Another process (a one-shot run, vexor-reg) may have installed a
        // set or changed the schedule since: the pass starts from the store.
        Refresh();
        std::string untrusted;
        if (!UseTrustedKeys(&untrusted)) return ReportFailedPass("Signature checks cannot start: %s", untrusted);
        PassOutcome outcome;
        if (pass_for_testing_) {
            pass_for_testing_();
        } else {
            const bool new_engine = GetEngineUpdater().RunEngineUpdate();
            outcome.installed = GetDatUpdater().RunDatUpdate() || new_engine;
        }
        return outcome;
    } catch (const CTLVexorNetException& e) {
        return ReportFailedPass("Network Error - %s.", e.Message());
    } catch (const ExceptionBase& e) {
        return ReportFailedPass("Engine update error: %s", e.Message());
    } catch (const std::exception& e) {
        return ReportFailedPass("Engine update error: %s", e.what());
    } catch (...) {
        return ReportFailedPass("Engine update error: %s", "unknown failure");
    }
}

UpdaterCore::PassOutcome UpdaterCore::RunRecordedPass(std::unique_ptr<ExclusiveLockFile> pass_lock,
                                                      const std::string& busy) {
    uint64_t number = 0;
    try {
        number = RecordPassStart(pass_lock != nullptr);
    } catch (const ExceptionBase& e) {
        // The pass still runs; only waiters that go by the record miss it.
        log_.Log(kLogLoopError, "%s\r\n", e.Message().c_str());
    }
    trigger_event_.Reset();
    ClearCancel();
    const PassOutcome outcome = PerformUpdate(std::move(pass_lock), busy);
    try {
        SetLastCheckTime(ServiceClock().Now());
    } catch (const ExceptionBase& e) {
        log_.Log(kLogLoopError, "Error updating dat files.  Skipping this attempts\r\n");
        Events().ReportError("Error Updating DAT Files - %s\r\n", e.Message().c_str());
    }
    // A trigger that arrived during the pass is dropped; one that arrives
    // after this point starts another pass, which a waiter that saw this
    // pass's end will wait for.
    trigger_event_.Reset();
    if (number != 0) {
        try {
            RecordPassEnd(number, outcome.LastLine());
        } catch (const ExceptionBase& e) {
            log_.Log(kLogLoopError, "%s\r\n", e.Message().c_str());
        }
    }
    return outcome;
}

}  // namespace TesselSoftware
