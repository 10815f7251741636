#include "service/ConsoleService.h"

#include <strings.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "Common/Errors/ErrorText.h"
#include "Common/Errors/Win32Error.h"
#include "Common/Files/AtomicFile.h"
#include "Common/Files/FileSystemUtils.h"
#include "Common/Platform/MachineLayout.h"
#include "Common/Platform/ProcessRunner.h"
#include "service/ServiceLog.h"
#include "service/SignalDispatcher.h"
#include "service/SystemdUnit.h"

namespace TesselSoftware {

namespace {

constexpr int64_t kSystemctlTimeoutMs = 120000;
// How much more time each stop extension asks systemd for; renewed at half.
constexpr uint32_t kStopExtensionMs = 120000;
// Extensions asked for after a stop request, the first included: about four
// minutes in all.
constexpr int kMaxStopExtensions = 4;

// The system text of code without its line end, with the code: "%s (0x%x)".
std::string LastErrorText(uint32_t code) {
    std::string text = FormatErrorText(code, kErrorTextOnly);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    char formatted[512];
    std::snprintf(formatted, sizeof formatted, "%s (0x%x)", text.c_str(), code);
    return formatted;
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

bool IsOption(const std::string& arg, const char* name) {
    return arg.size() > 1 && (arg[0] == '-' || arg[0] == '/') && ::strcasecmp(arg.c_str() + 1, name) == 0;
}

}  // namespace

int RunSystemctl(const std::vector<std::string>& args, std::string* output) {
    const char* program = std::getenv("VEXOR_SYSTEMCTL");
    std::vector<std::string> argv = {program != nullptr && *program != '\0' ? program : "systemctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    const ChildOutcome outcome = RunChildProcess(argv, kSystemctlTimeoutMs, output, 64 * 1024);
    return outcome.kind == ChildOutcome::Kind::kExited ? outcome.exit_code : -1;
}

int CConsoleService::Start(const std::vector<std::string>& args) {
    debug_ = false;
    if (args.size() >= 2 && (args[1][0] == '-' || args[1][0] == '/')) {
        if (IsOption(args[1], "install")) return Install(args.size() >= 3 && ::strcasecmp(args[2].c_str(), "-auto") == 0);
        if (IsOption(args[1], "remove")) return Remove();
        if (IsOption(args[1], "debug")) return Debug(args);
        if (IsOption(args[1], "?")) {
            const std::string program = args[0].substr(args[0].find_last_of('/') + 1);
            std::printf("%s -install [-auto]  to install the service\n", program.c_str());
            std::printf("%s -remove           to remove the service\n", program.c_str());
            std::printf("%s -debug <params>   to run as a console app for debugging\n", program.c_str());
            std::printf("%s -once             to run one update pass in the foreground\n", program.c_str());
            return 0;
        }
    }
    std::printf("Service initiating...\n");
    std::fflush(stdout);
    return RunAsService(args);
}

bool CConsoleService::ReportServiceStatus(ServiceState state, uint32_t wait_hint_ms, const std::string& reason) {
    if (debug_) return true;
    std::string message;
    {
        std::lock_guard<std::mutex> lock(status_mutex_);
        state_ = state;
    }
    switch (state) {
        case ServiceState::kStartPending:
            message = "EXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t{wait_hint_ms} * 1000);
            break;
        case ServiceState::kRunning: message = "READY=1"; break;
        case ServiceState::kStopPending:
            message = "STOPPING=1\nEXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t{wait_hint_ms} * 1000);
            break;
        case ServiceState::kStopped: break;
    }
    if (!reason.empty()) message += (message.empty() ? "" : "\n") + std::string("STATUS=") + reason;
    if (message.empty()) return true;
    const int rc = sd_notify(0, message.c_str());
    if (rc < 0) std::fprintf(stderr, "Failed to SetServiceStatus: %d\n", -rc);
    return rc >= 0;
}

void CConsoleService::OnControlSignal(int /*signal_number*/) {
    if (debug_) {
        std::printf("Stopping %s.\n", GetDisplayName().c_str());
        std::fflush(stdout);
    } else {
        // A pass may still run: it is cancelled and ends at its next safe
        // point, which takes seconds; ask for time for that, but not for
        // ever (systemd kills what is left after the last extension).
        ReportServiceStatus(ServiceState::kStopPending, kStopExtensionMs, "Stopping");
        if (!stop_keeper_.joinable()) stop_keeper_ = std::thread([this] { KeepStopAlive(); });
    }
    Stop();
}

void CConsoleService::KeepStopAlive() {
    std::unique_lock<std::mutex> lock(status_mutex_);
    for (int extension = 1; extension < kMaxStopExtensions; ++extension) {
        if (status_changed_.wait_for(lock, std::chrono::milliseconds(kStopExtensionMs / 2),
                                     [this] { return stopped_; })) {
            return;
        }
        lock.unlock();
        sd_notify(0, ("EXTEND_TIMEOUT_USEC=" + std::to_string(uint64_t{kStopExtensionMs} * 1000)).c_str());
        lock.lock();
    }
}

int CConsoleService::Debug(const std::vector<std::string>& args) {
    debug_ = true;
    std::printf("Debugging %s\n", GetDisplayName().c_str());
    std::fflush(stdout);
    SignalDispatcher dispatcher([this](int signal_number) { OnControlSignal(signal_number); });
    return Run(args);
}

int CConsoleService::RunAsService(const std::vector<std::string>& args) {
    if (std::getenv("NOTIFY_SOCKET") == nullptr) {
        std::fprintf(stderr, "%s: StartServiceCtrlDispatcher failed. Not started by the service manager; "
                             "use -debug to run at the console.\n", GetDisplayName().c_str());
        return 1;
    }
    if (!ReportServiceStatus(ServiceState::kStartPending, 15000)) return 1;
    int status = 0;
    {
        SignalDispatcher dispatcher([this](int signal_number) { OnControlSignal(signal_number); });
        status = Run(args);
    }
    {
        std::lock_guard<std::mutex> lock(status_mutex_);
        stopped_ = true;
    }
    status_changed_.notify_all();
    if (stop_keeper_.joinable()) stop_keeper_.join();
    ReportServiceStatus(ServiceState::kStopped, 0);
    return status;
}

int CConsoleService::Install(bool automatic) {
    const std::string display = GetDisplayName();
    const std::string program = ProgramPath();
    if (program.empty() || !QuoteExecPath(program)) {
        std::printf("Unable to install %s - %s\n", display.c_str(),
                    LastErrorText(program.empty() ? Win32::kFileNotFound : Win32::kInvalidName).c_str());
        return 1;
    }
    const std::string unit_path = ServiceUnitPath();
    if (::access(unit_path.c_str(), F_OK) == 0) {
        std::printf("CreateService failed - %s\n", LastErrorText(Win32::kServiceExists).c_str());
        return 1;
    }
    EnsureDirectory(MachineLayout::SystemdUnitDirectory(), true);
    if (!WriteFileAtomically(unit_path, ServiceUnitText(program, MachineLayout::SystemRoot())).empty()) {
        std::printf("CreateService failed - %s\n", LastErrorText(Win32::kAccessDenied).c_str());
        return 1;
    }
    if (RunSystemctl({"daemon-reload"}) != 0 ||
        (automatic && RunSystemctl({"enable", kServiceUnitName}) != 0)) {
        std::printf("CreateService failed - %s\n", LastErrorText(Win32::kServiceDoesNotExist).c_str());
        return 1;
    }
    std::printf("%s installed.\n", display.c_str());
    return 0;
}

int CConsoleService::Remove() {
    const std::string display = GetDisplayName();
    const std::string unit_path = ServiceUnitPath();
    if (::access(unit_path.c_str(), F_OK) != 0) {
        std::printf("OpenService failed - %s\n", LastErrorText(Win32::kServiceDoesNotExist).c_str());
        return 1;
    }
    std::string state;
    RunSystemctl({"is-active", kServiceUnitName}, &state);
    state = Trimmed(state);
    if (state == "active" || state == "activating" || state == "reloading") {
        if (RunSystemctl({"stop", "--no-block", kServiceUnitName}) == 0) {
            std::printf("Stopping %s.", display.c_str());
            std::fflush(stdout);
            for (;;) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1000));
                RunSystemctl({"is-active", kServiceUnitName}, &(state = ""));
                state = Trimmed(state);
                if (state != "deactivating" && state != "active") break;
                std::printf(".");
                std::fflush(stdout);
            }
            std::printf(state == "inactive" ? "\n%s stopped.\n" : "\n%s failed to stop.\n", display.c_str());
        }
    }
    RunSystemctl({"disable", kServiceUnitName});
    if (::unlink(unit_path.c_str()) != 0) {
        std::printf("DeleteService failed - %s\n", LastErrorText(ErrnoToWin32(errno)).c_str());
        return 1;
    }
    RunSystemctl({"daemon-reload"});
    std::printf("%s removed.\n", display.c_str());
    return 0;
}

}  // namespace TesselSoftware
