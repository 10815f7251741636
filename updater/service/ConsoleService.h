// CConsoleService: the updater program's host. It turns the command line
// into one of its actions (install the systemd unit, remove it, run the
// service body at the console for debugging, or run as the service systemd
// started) and routes stop requests to the service's Stop.
//
// Service states go to systemd through sd_notify: START_PENDING extends the
// start time-out, RUNNING is READY=1, STOP_PENDING is STOPPING=1; nothing is
// reported at the console. Safe for the signal dispatcher thread to report
// and stop while Run is inside the loop.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace TesselSoftware {

enum class ServiceState { kStartPending, kRunning, kStopPending, kStopped };

class CConsoleService {
public:
    CConsoleService() = default;
    virtual ~CConsoleService() = default;
    CConsoleService(const CConsoleService&) = delete;
    CConsoleService& operator=(const CConsoleService&) = delete;

    // The service body: returns when the service has stopped, with the
    // process's exit status (0 only after a requested stop).
    virtual int Run(const std::vector<std::string>& args) = 0;
    // Asks Run to end; callable from any thread.
    virtual void Stop() = 0;
    virtual std::string GetDependencies() const { return ""; }
    virtual std::string GetDisplayName() const = 0;
    virtual std::string GetServiceName() const = 0;

    // Dispatches on the command line (args[0] is the program); returns the
    // exit status.
    int Start(const std::vector<std::string>& args);
    // Reports state to systemd (nothing in debug mode); false when it could
    // not be sent. reason, when given, becomes the STATUS= text.
    bool ReportServiceStatus(ServiceState state, uint32_t wait_hint_ms, const std::string& reason = "");
    bool IsDebug() const { return debug_; }

private:
    int Install(bool automatic);
    int Remove();
    int RunAsService(const std::vector<std::string>& args);
    int Debug(const std::vector<std::string>& args);
    // The stop control: systemd's SIGTERM, or a console signal in debug mode.
    void OnControlSignal(int signal_number);

    // While a requested stop waits for the running pass, keeps asking
    // systemd for more time, until the service has stopped.
    void KeepStopAlive();

    std::atomic<bool> debug_{false};
    std::mutex status_mutex_;
    std::condition_variable status_changed_;
    ServiceState state_ = ServiceState::kStopped;  // GUARDED_BY(status_mutex_)
    bool stopped_ = false;                          // GUARDED_BY(status_mutex_)
    std::thread stop_keeper_;                       // started by the first stop request
};

// Runs systemctl with args: the program named by VEXOR_SYSTEMCTL when set
// (tests record the calls that way), else "systemctl" on PATH. Returns its
// exit status (-1 when it could not run) and its output in *output.
int RunSystemctl(const std::vector<std::string>& args, std::string* output = nullptr);

}  // namespace TesselSoftware
