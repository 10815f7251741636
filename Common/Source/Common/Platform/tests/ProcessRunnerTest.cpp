#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "Common/Errors/Win32Error.h"
#include "Common/Platform/ProcessRunner.h"
#include "TestSupport.h"

namespace TesselSoftware {
namespace {

TEST(SplitCommandLine, FollowsTheWindowsQuotingRules) {
    struct Row {
        const char* line;
        std::vector<std::string> args;
    } rows[] = {
        {"\"/opt/vexor/7za\" x -y -p\"\" -o\"/dat/~build\" \"/dat/avvdat-1.zip\"",
         {"/opt/vexor/7za", "x", "-y", "-p", "-o/dat/~build", "/dat/avvdat-1.zip"}},
        {"\"/Program Files/X/7za\" a \"/dat/a b.zip\" \"/dat/x/*\"",
         {"/Program Files/X/7za", "a", "/dat/a b.zip", "/dat/x/*"}},
        {"  a\t b  ", {"a", "b"}},
        {"a\\\\\\\"b", {"a\\\"b"}},     // 3 backslashes + quote: one backslash, literal quote
        {"\"a\\\\\" b", {"a\\", "b"}},  // 2 backslashes + quote: one backslash, quote closes
        {"a\\b\\\\c", {"a\\b\\\\c"}},   // backslashes not before a quote stay
        {"\"say \"\"hi\"\"\"", {"say \"hi\""}},
        {"\"\"", {""}},
        {"", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        EXPECT_EQ(row.args, SplitCommandLine(row.line));
    }
}

TEST(RunChildProcess, ReportsExitCodesTimeOutsAndMissingPrograms) {
    ChildOutcome outcome = RunChildProcess({"/bin/sh", "-c", "exit 7"}, 10000);
    EXPECT_EQ(ChildOutcome::Kind::kExited, outcome.kind);
    EXPECT_EQ(7, outcome.exit_code);

    outcome = RunChildProcess({"true"}, 10000);  // found on PATH
    EXPECT_EQ(ChildOutcome::Kind::kExited, outcome.kind);
    EXPECT_EQ(0, outcome.exit_code);

    const auto start = std::chrono::steady_clock::now();
    outcome = RunChildProcess({"/bin/sleep", "30"}, 200);
    EXPECT_EQ(ChildOutcome::Kind::kTimedOut, outcome.kind);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

    outcome = RunChildProcess({"/nonexistent/7za", "x"}, 1000);
    EXPECT_EQ(ChildOutcome::Kind::kStartFailed, outcome.kind);
    EXPECT_EQ(Win32::kFileNotFound, outcome.error);
}

TEST(RunChildProcess, TheChildInheritsNoDescriptorsBeyondStandardError) {
    // /proc/self/fd of the child lists only 0, 1, 2 (and the one ls opens).
    const ChildOutcome outcome = RunChildProcess(
        {"/bin/sh", "-c", "test $(ls /proc/self/fd | wc -l) -le 4"}, 10000);
    EXPECT_EQ(ChildOutcome::Kind::kExited, outcome.kind);
    EXPECT_EQ(0, outcome.exit_code);
}

// A killed updater must not leave its archive tool writing on.
TEST(RunChildProcess, TheChildDiesWithItsStarter) {
    Testing::ScratchDir dir;
    const std::string pid_file = dir / "pid";
    const pid_t starter = ::fork();
    if (starter == 0) {
        RunChildProcess({"/bin/sh", "-c", "echo $$ > '" + pid_file + "'; exec sleep 30"}, 60000);
        ::_exit(0);
    }
    std::string text;
    for (int i = 0; i < 500 && text.find('\n') == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (Testing::Exists(pid_file)) text = Testing::ReadFile(pid_file);
    }
    const pid_t child = std::atoi(text.c_str());
    ASSERT_GT(child, 0);
    ::kill(starter, SIGKILL);
    ::waitpid(starter, nullptr, 0);
    const auto alive = [child] {
        // Gone, or a zombie waiting for its new parent to reap it.
        std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
        std::string pid, name, state;
        return static_cast<bool>(stat >> pid >> name >> state) && state != "Z";
    };
    for (int i = 0; i < 500 && alive(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(alive());
}

TEST(RunChildProcess, CollectsStandardOutputUpToTheCap) {
    std::string output;
    ChildOutcome outcome = RunChildProcess({"/bin/sh", "-c", "echo one; echo two"}, 10000, &output, 100);
    EXPECT_EQ(0, outcome.exit_code);
    EXPECT_EQ("one\ntwo\n", output);

    // 1 MiB of output: the child is never blocked, and only the cap is kept.
    outcome = RunChildProcess({"/bin/sh", "-c", "head -c 1048576 /dev/zero; exit 3"}, 10000,
                              &output, 1000);
    EXPECT_EQ(ChildOutcome::Kind::kExited, outcome.kind);
    EXPECT_EQ(3, outcome.exit_code);
    EXPECT_EQ(1000u, output.size());
}

}  // namespace
}  // namespace TesselSoftware

namespace TesselSoftware {
namespace {

// The service blocks its control signals and ignores SIGPIPE; the archive
// tool must see none of that, and must sit in a process group of its own.
TEST(RunChildProcess, TheChildStartsWithDefaultSignalsInItsOwnProcessGroup) {
    const Testing::ChildResult child = Testing::RunInChild(
        [](int out) {
            sigset_t blocked;
            sigemptyset(&blocked);
            sigaddset(&blocked, SIGTERM);
            pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
            ::signal(SIGPIPE, SIG_IGN);
            std::string status, stat;
            if (RunChildProcess({"/bin/cat", "/proc/self/status"}, 5000, &status, 65536).exit_code != 0 ||
                RunChildProcess({"/bin/cat", "/proc/self/stat"}, 5000, &stat, 65536).exit_code != 0) {
                return 9;
            }
            std::string report;
            for (const char* field : {"SigBlk:", "SigIgn:"}) {
                const size_t at = status.find(field);
                report += status.substr(at, status.find('\n', at) - at) + "\n";
            }
            // Field 5 of stat is the process group; field 1 the process.
            const std::string after_name = stat.substr(stat.rfind(')') + 2);
            char state;
            long parent, group;
            std::sscanf(after_name.c_str(), "%c %ld %ld", &state, &parent, &group);
            const long pid = std::stol(stat);
            report += group == pid ? "own group\n" : "shared group\n";
            return ::write(out, report.data(), report.size()) < 0 ? 8 : 0;
        },
        false);
    EXPECT_EQ(0, child.status);
    EXPECT_EQ("SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\nown group\n", child.output);
}

}  // namespace
}  // namespace TesselSoftware
