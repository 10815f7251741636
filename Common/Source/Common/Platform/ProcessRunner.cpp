#include "Common/Platform/ProcessRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "Common/Platform/Win32Error.h"

extern char** environ;

namespace TesselSoftware {

std::vector<std::string> SplitCommandLine(const std::string& command_line) {
    std::vector<std::string> args;
    size_t i = 0;
    const size_t n = command_line.size();
    while (true) {
        while (i < n && (command_line[i] == ' ' || command_line[i] == '\t')) ++i;
        if (i >= n) break;
        std::string arg;
        bool quoted = false;
        while (i < n) {
            const char c = command_line[i];
            if (!quoted && (c == ' ' || c == '\t')) break;
            if (c == '\\') {
                size_t slashes = 0;
                while (i < n && command_line[i] == '\\') {
                    ++slashes;
                    ++i;
                }
                if (i < n && command_line[i] == '"') {
                    arg.append(slashes / 2, '\\');
                    if (slashes % 2 == 1) {
                        arg += '"';
                        ++i;
                    }
                } else {
                    arg.append(slashes, '\\');
                }
                continue;
            }
            if (c == '"') {
                if (quoted && i + 1 < n && command_line[i + 1] == '"') {
                    arg += '"';  // "" inside quotes is a literal quote
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            arg += c;
            ++i;
        }
        args.push_back(std::move(arg));
    }
    return args;
}

namespace {

class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&actions_); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

}  // namespace

ChildOutcome RunChildProcess(const std::vector<std::string>& argv, int64_t timeout_ms) {
    ChildOutcome outcome;
    if (argv.empty() || argv[0].empty()) {
        outcome.error = Win32::kFileNotFound;
        return outcome;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    // The child gets no input and none of our descriptors beyond stderr; its
    // chatter on stdout is not part of anything the caller reads.
    SpawnActions actions;
    posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);

    pid_t pid = -1;
    const bool has_path = argv[0].find('/') != std::string::npos;
    const int rc = has_path ? ::posix_spawn(&pid, args[0], actions.get(), nullptr, args.data(), environ)
                            : ::posix_spawnp(&pid, args[0], actions.get(), nullptr, args.data(), environ);
    if (rc != 0) {
        outcome.error = ErrnoToWin32(rc);
        return outcome;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            outcome.kind = ChildOutcome::Kind::kExited;
            outcome.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return outcome;
        }
        if (done < 0 && errno != EINTR) {
            outcome.kind = ChildOutcome::Kind::kWaitFailed;
            outcome.error = ErrnoToWin32(errno);
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return outcome;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            outcome.kind = ChildOutcome::Kind::kTimedOut;
            return outcome;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

}  // namespace TesselSoftware
