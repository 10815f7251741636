#include "SoakService.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "Common/Clock.h"
#include "Common/Logs/EventLog.h"
#include "Common/Logs/TextLog.h"
#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "control/UpdaterControlHandlers.h"
#include "core/UpdaterCore.h"
#include "rpc/UpdaterControlServer.h"
#include "service/ServiceLog.h"

namespace TesselSoftware::Soak {
namespace {

bool WriteAll(int fd, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool ReadAll(int fd, void* data, size_t size) {
    char* bytes = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = ::read(fd, bytes, size);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        bytes += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

// The events the service reports, kept nowhere: the soak looks at what an
// operator looks at (history, health, metrics), not at the journal.
class NoJournal final : public IEventSink {
public:
    uint32_t Write(const std::string&, IEventLogging::EventType, uint32_t, const std::string&) override { return 0; }
};

// The service process's clock: the shared simulated time, and waits that
// the world answers. Only the loop's thread waits on the service clock.
class ServiceSideClock final : public Clock {
public:
    ServiceSideClock(int64_t start, SharedTime* time, int reports, int replies)
        : start_(start), time_(time), reports_(reports), replies_(replies) {}

    int64_t Now() override { return start_ + time_->elapsed.load() + time_->skew.load(); }

    int WaitForAny(std::initializer_list<AutoResetEvent*> events, int64_t timeout_ms) override {
        const int woke = AutoResetEvent::WaitForAny(events, 0);
        if (woke != AutoResetEvent::kTimedOut) return woke;
        const int64_t timeout_s = timeout_ms < 0 ? 15 : (timeout_ms + 999) / 1000;
        if (!line_reported_ && time_->elapsed.load() + timeout_s < time_->quiet_until.load()) {
            time_->elapsed.fetch_add(timeout_s);
            return AutoResetEvent::kTimedOut;
        }
        line_reported_ = false;
        ServiceProcess::Report report = Schedule(ServiceProcess::kWait);
        report.timeout_s = timeout_s;
        const char reply = Exchange(report);
        if (reply == ServiceProcess::kStop) core_->Stop();
        // The world ran to the wait's end, or signalled an event (its
        // control calls return once the event is set).
        return AutoResetEvent::WaitForAny(events, 0);
    }

    // A line of the message history, when the loop's thread wrote it: the
    // world may cancel or kill the pass at it.
    void ReportLine(const std::string& text) {
        if (std::this_thread::get_id() != loop_thread_) return;
        ServiceProcess::Report report = Schedule(ServiceProcess::kLine);
        report.pass_starts = text == "******* Performing update *******";
        line_reported_ = true;  // the wait after a pass is reported
        Exchange(report);
    }

    void Attach(UpdaterCore* core) { core_ = core; }

private:
    ServiceProcess::Report Schedule(char kind) const {
        ServiceProcess::Report report;
        report.kind = kind;
        report.next_check = core_->NextCheckTime();
        report.interval = core_->UpdateInterval();
        report.splay_offset = core_->SplayOffset();
        return report;
    }
    // A world that went away ends this process: nothing is left to answer.
    char Exchange(const ServiceProcess::Report& report) {
        std::lock_guard<std::mutex> hold(exchange_);
        char reply = 0;
        if (!WriteAll(reports_, &report, sizeof report) || !ReadAll(replies_, &reply, 1)) ::_exit(3);
        return reply;
    }

    const int64_t start_;
    SharedTime* const time_;
    const int reports_, replies_;
    const std::thread::id loop_thread_ = std::this_thread::get_id();
    UpdaterCore* core_ = nullptr;
    std::mutex exchange_;
    bool line_reported_ = false;  // only the loop's thread
};

// One life of the service, as the unit's process lives it; its exit status.
int LiveOnce(const std::string& root, int64_t start, SharedTime* time, int reports, int replies) {
    ServiceSideClock clock(start, time, reports, replies);
    ScopedServiceClock use_clock(clock);
    CTextLog log(1, 0, 0, 0);
    {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
        std::string error;
        OpenUpdaterLog(log, key, root + "/log", &error);
    }
    CDTLEventLog events("VexorDatUpdater64", false, true, std::make_shared<NoJournal>());
    UpdaterCore core(log);
    UpdaterControlHandlers handlers(core, events);
    core.SetEventLog(&events);
    core.SetControlInterface(UpdaterControl::ServerInterface(handlers));
    clock.Attach(&core);
    core.SetMessageObserver([&](const std::string& text) { clock.ReportLine(text); });
    if (!core.RunLoop() || !core.StartFailure().empty()) {
        std::fprintf(stderr, "soak: the service did not run: %s\n", core.StartFailure().c_str());
        return 1;
    }
    return 0;
}

}  // namespace

ServiceProcess::ServiceProcess(const std::string& root, const SimulatedClock& clock) {
    int reports[2], replies[2];
    if (::pipe2(reports, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    if (::pipe2(replies, O_CLOEXEC) != 0) {
        ::close(reports[0]);
        ::close(reports[1]);
        throw std::runtime_error("pipe");
    }
    std::fflush(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(reports[0]);
        ::close(replies[1]);
        // What the service and its tools print (7za on a damaged archive)
        // goes to a file, as a unit's output goes to the journal.
        const int output = ::open((root + "/log/service-output.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (output >= 0) {
            ::dup2(output, STDERR_FILENO);
            ::close(output);
        }
        int status = 2;
        try {
            status = LiveOnce(root, clock.Start(), clock.Shared(), reports[1], replies[0]);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "soak: the service process: %s\n", e.what());
        }
        std::fflush(nullptr);
        ::_exit(status);  // none of the world's exit handlers or objects
    }
    ::close(reports[1]);
    ::close(replies[0]);
    reports_ = reports[0];
    replies_ = replies[1];
    if (pid_ < 0) {
        ::close(reports_);
        ::close(replies_);
        throw std::runtime_error("fork");
    }
}

ServiceProcess::~ServiceProcess() {
    if (!reaped_) Kill();
    ::close(reports_);
    ::close(replies_);
}

bool ServiceProcess::Next(Report* report) {
    if (reaped_) return false;
    // A service that reports nothing for this long is stuck: the soak ends
    // it (and says so) rather than waiting for ever.
    pollfd ready{reports_, POLLIN, 0};
    int polled = 0;
    while ((polled = ::poll(&ready, 1, kStuckAfterMs)) < 0 && errno == EINTR) {
    }
    if (polled == 0) {
        stuck_ = true;
        Kill();
        return false;
    }
    return ReadAll(reports_, report, sizeof *report);
}

void ServiceProcess::Reply(char reply) { WriteAll(replies_, &reply, 1); }

void ServiceProcess::Kill(int64_t delay_us) {
    if (reaped_) return;
    if (delay_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
    ::kill(pid_, SIGKILL);
    Wait();
}

void ServiceProcess::KillWhileAChildRuns(int64_t timeout_us) {
    namespace fs = std::filesystem;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::microseconds(timeout_us);
    const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
    while (std::chrono::steady_clock::now() < give_up) {
        std::error_code error;
        for (fs::directory_iterator task(tasks, error), end; !error && task != end; task.increment(error)) {
            std::ifstream children(task->path() / "children");
            pid_t child = 0;
            if (children >> child) return Kill();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    Kill();
}

int ServiceProcess::Wait() {
    if (!reaped_) {
        while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

}  // namespace TesselSoftware::Soak
