#include "dat/EngineStartCheck.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <optional>
#include <string_view>

#include "Common/Errors/ErrorText.h"
#include "Common/Platform/MachineLayout.h"
#include "Common/Platform/ProcessRunner.h"
#include "core/UpdateProgress.h"

namespace TesselSoftware {

namespace {

std::string g_program_for_testing;
std::optional<std::string> g_account_for_testing;

std::string LastLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const size_t end = text.rfind('\n');
    return end == std::string::npos ? text : text.substr(end + 1);
}

}  // namespace

std::string CheckDatFilesPresent(const std::string& set_folder) {
    for (const char* name : kDatFileNames) {
        struct stat info;
        const std::string path = set_folder + "/" + name;
        if (::lstat(path.c_str(), &info) != 0) return std::string(name) + " is missing";
        if (!S_ISREG(info.st_mode)) return std::string(name) + " is not a regular file";
        if (info.st_size == 0) return std::string(name) + " is empty";
    }
    return {};
}

std::string EngineCheckProgram() {
    if (!g_program_for_testing.empty()) return g_program_for_testing;
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (error ? std::filesystem::path() : self.parent_path()) / kEngineCheckProgramName;
}

void SetEngineCheckProgramForTesting(const std::string& path) { g_program_for_testing = path; }

std::string EngineCheckAccount() {
    if (g_account_for_testing) return *g_account_for_testing;
    return MachineLayout::SystemRoot().empty() ? kEngineCheckAccount : "";
}

void SetEngineCheckAccountForTesting(const std::string& account) { g_account_for_testing = account; }

std::string CheckDatSetStarts(const std::string& engine_folder, const std::string& set_folder,
                              int64_t timeout_ms, std::vector<std::string>* skipped) {
    std::string output;
    // A cancelled pass, or a service asked to stop, does not wait for an
    // engine that takes its time (or never returns): the check ends at once.
    const ChildOutcome outcome =
        RunChildProcess({EngineCheckProgram(), "--account", EngineCheckAccount(), engine_folder, set_folder},
                        timeout_ms, &output, 4096, CurrentUpdateCancelled);
    constexpr std::string_view kSkipped = "confinement skipped: ";
    for (size_t at = output.find(kSkipped); skipped != nullptr && at != std::string::npos;
         at = output.find(kSkipped, at + 1)) {
        const size_t end = output.find('\n', at);
        skipped->push_back(output.substr(at + kSkipped.size(), end == std::string::npos ? end : end - at - kSkipped.size()));
    }
    switch (outcome.kind) {
        case ChildOutcome::Kind::kStartFailed:
        case ChildOutcome::Kind::kWaitFailed:
            return "the engine check " + EngineCheckProgram() + " could not be run - " +
                   FormatErrorText(outcome.error);
        case ChildOutcome::Kind::kTimedOut:
            return "the engine did not start within " + std::to_string(timeout_ms / 1000) + " s";
        case ChildOutcome::Kind::kCancelled: return "the engine check was cancelled";
        case ChildOutcome::Kind::kExited: break;
    }
    if (outcome.exit_code == 0) return {};
    if (outcome.exit_code > 128) {
        return "the engine crashed (signal " + std::to_string(outcome.exit_code - 128) + ")";
    }
    const std::string reason = LastLine(output);
    return reason.empty() ? "the engine check failed with exit code " + std::to_string(outcome.exit_code)
                          : reason;
}

}  // namespace TesselSoftware
