#include "Common/Platform/ProcessRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <thread>

#include "Common/Errors/Win32Error.h"

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

// The program's path: as given when it holds a "/", else the first
// executable of that name on PATH ("" when there is none).
std::string ResolveProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    for (size_t start = 0; start <= dirs.size();) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        const std::string candidate = dir + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

// In the child between fork and exec: only async-signal-safe calls. The
// child dies with the thread that started it, so a killed updater leaves
// no archive tool writing into a folder the next pass reuses.
[[noreturn]] void ExecChild(pid_t parent, const char* program, char* const* args, int stdout_fd,
                            int report_fd) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);  // the parent is already gone
    // The tool starts with default signal actions and nothing blocked,
    // whatever the service set for itself, and in its own process group:
    // a Ctrl+C at the service's console stops the service, which then ends
    // its pass in order, rather than killing the tool in the middle.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        ::sigaction(signal_number, &default_action, nullptr);
    }
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::setpgid(0, 0);
    const int null_in = ::open("/dev/null", O_RDONLY);
    const int out = stdout_fd >= 0 ? stdout_fd : ::open("/dev/null", O_WRONLY);
    if (null_in < 0 || out < 0 || ::dup2(null_in, STDIN_FILENO) < 0 || ::dup2(out, STDOUT_FILENO) < 0) {
        const int error = errno;
        [[maybe_unused]] const ssize_t put = ::write(report_fd, &error, sizeof error);
        ::_exit(127);
    }
    // Nothing of ours beyond stderr, except the report pipe (close-on-exec).
    ::close_range(STDERR_FILENO + 1, static_cast<unsigned>(report_fd) - 1, 0);
    ::close_range(static_cast<unsigned>(report_fd) + 1, ~0U, 0);
    ::execve(program, args, environ);
    const int error = errno;
    [[maybe_unused]] const ssize_t put = ::write(report_fd, &error, sizeof error);
    ::_exit(127);
}


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
                             std::string* output, size_t max_output,
                             const std::function<bool()>& cancelled) {
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

    const std::string program = ResolveProgram(argv[0]);
    if (program.empty()) {
        outcome.error = Win32::kFileNotFound;
        return outcome;
    }
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        outcome.error = ErrnoToWin32(errno);
        return outcome;
    }
    OwnedFd report_read, report_write;
    report_read.Reset(report[0]);
    report_write.Reset(report[1]);
    if (report_write.get() <= STDERR_FILENO) {
        outcome.error = Win32::kInvalidHandle;
        return outcome;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        outcome.error = ErrnoToWin32(errno);
        return outcome;
    }
    if (pid == 0) ExecChild(parent, program.c_str(), args.data(), write_end.get(), report_write.get());
    write_end.Reset();     // the child holds its own copies
    report_write.Reset();
    // The report pipe closes at the exec; an errno before that means the
    // program did not start.
    int exec_error = 0;
    ssize_t got;
    do {
        got = ::read(report_read.get(), &exec_error, sizeof exec_error);
    } while (got < 0 && errno == EINTR);
    if (got == sizeof exec_error) {
        ::waitpid(pid, nullptr, 0);
        outcome.error = ErrnoToWin32(exec_error);
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
        const bool timed_out = std::chrono::steady_clock::now() >= deadline;
        if (timed_out || (cancelled && cancelled())) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            outcome.kind = timed_out ? ChildOutcome::Kind::kTimedOut : ChildOutcome::Kind::kCancelled;
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
