#include "Common/Platform/ProcessRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

namespace {

// Closes a descriptor it owns on destruction.
class OwnedFd {
public:
    explicit OwnedFd(int fd = -1) : fd_(fd) {}
    ~OwnedFd() { Reset(); }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    int get() const { return fd_; }
    void Reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// Reads what is ready on fd into *output (up to max bytes kept); false at
// the end of the output.
bool DrainPipe(int fd, std::string* output, size_t max) {
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) {
            const size_t room = max > output->size() ? max - output->size() : 0;
            output->append(buffer, std::min(room, static_cast<size_t>(got)));
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        return got < 0;  // EAGAIN: more may come; 0: end of output
    }
}

}  // namespace

ChildOutcome RunChildProcess(const std::vector<std::string>& argv, int64_t timeout_ms,
                             std::string* output, size_t max_output) {
    ChildOutcome outcome;
    if (argv.empty() || argv[0].empty()) {
        outcome.error = Win32::kFileNotFound;
        return outcome;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    OwnedFd read_end, write_end;
    if (output != nullptr) {
        output->clear();
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            outcome.error = ErrnoToWin32(errno);
            return outcome;
        }
        read_end.Reset(fds[0]);
        write_end.Reset(fds[1]);
    }

    // The child gets no input and none of our descriptors beyond stderr and
    // the write end of the output pipe (as its stdout).
    SpawnActions actions;
    posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (output != nullptr) {
        posix_spawn_file_actions_adddup2(actions.get(), write_end.get(), STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);

    pid_t pid = -1;
    const bool has_path = argv[0].find('/') != std::string::npos;
    const int rc = has_path ? ::posix_spawn(&pid, args[0], actions.get(), nullptr, args.data(), environ)
                            : ::posix_spawnp(&pid, args[0], actions.get(), nullptr, args.data(), environ);
    write_end.Reset();  // the child holds its own copy
    if (rc != 0) {
        outcome.error = ErrnoToWin32(rc);
        return outcome;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (read_end.get() >= 0 && !DrainPipe(read_end.get(), output, max_output)) read_end.Reset();
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            // Whatever the child wrote before it ended is in the pipe.
            if (read_end.get() >= 0) DrainPipe(read_end.get(), output, max_output);
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
        if (read_end.get() >= 0) {
            // Output wakes us at once, so a chatty child never waits on a full pipe.
            struct pollfd ready {read_end.get(), POLLIN, 0};
            ::poll(&ready, 1, static_cast<int>(pause.count()));
        } else {
            std::this_thread::sleep_for(pause);
        }
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

}  // namespace TesselSoftware
