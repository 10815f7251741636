// Crash reports: the report limit, the file name, fatal signals, chaining to
// the handlers installed before, and assertion failures. Everything that
// loads support, installs handlers or crashes runs in a forked child.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "Common/EventLogging.h"
#include "Common/Logs/CrashDump.h"
#include "TestSupport.h"

namespace TesselSoftware {
namespace {

using Testing::SortedNames;

const std::string kProgram = std::filesystem::read_symlink("/proc/self/exe").filename();

// A scratch system root with its crash folder.
struct ScratchRoot {
    Testing::ScratchDir dir;
    Testing::ScopedEnv env{"VEXOR_SYSTEM_ROOT", dir.path()};
    const std::string crash = dir / "var/lib/vexor/crash";
};

// Sends "<level> <line>" and "error: <event>\n" to the pipe at once: the
// children end in _exit or by a signal and have no later chance.
class PipeLog : public IEventLogging {
public:
    PipeLog(int out, bool accept_events) : out_(out), accept_events_(accept_events) {}
    bool LogV(int32_t level, const char* format, va_list args) override {
        return Send(std::to_string(level) + " ", format, args, "");
    }
    bool ReportV(EventType type, uint32_t, const char* format, va_list args) override {
        return Send(type == EventType::kError ? "error: " : "other: ", format, args, "\n") &&
               accept_events_;
    }

private:
    bool Send(std::string line, const char* format, va_list args, const char* end) {
        char text[1024];
        std::vsnprintf(text, sizeof text, format, args);
        line = line + text + end;
        return ::write(out_, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    }
    const int out_;
    const bool accept_events_;
};

// fn in a forked child that starts with the default crash actions (not the
// sanitizers' handlers), no current event log, and writes no core file.
Testing::ChildResult InChild(const std::function<int(int out)>& fn) {
    return Testing::RunInChild(
        [&](int out) {
            const struct rlimit no_core = {0, 0};
            ::setrlimit(RLIMIT_CORE, &no_core);
            for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) ::signal(signal, SIG_DFL);
            ReleaseCurrentEventLog(CurrentEventLog());
            return fn(out);
        },
        false);
}

int LoadAndWrite(int) {
    return LoadDumpSupport(nullptr) ? static_cast<int>(WriteCrashDump(nullptr)) : 9;
}

// The text of the one report in root's crash folder.
std::string OnlyReport(const ScratchRoot& root, std::string* name = nullptr) {
    const auto names = SortedNames(root.crash);
    if (names.size() != 1) {
        ADD_FAILURE() << names.size() << " reports";
        return "";
    }
    if (name != nullptr) *name = names[0];
    return Testing::ReadFile(root.crash + "/" + names[0]);
}

// A store into a page that may not be written: a real access fault, which
// the undefined-behaviour checker (unlike a null store) lets happen.
void WriteToProtectedPage() {
    void* page = ::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile int*>(page) = 1;
}

volatile bool g_stop_recursion = false;
int OverflowTheStack(int depth) {
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    if (g_stop_recursion) return 0;
    return OverflowTheStack(depth + 1) + frame[0];
}

TEST(CrashDump, NothingIsWrittenBeforeSupportIsLoaded) {
    ScratchRoot root;
    const auto child = InChild([](int) { return static_cast<int>(WriteCrashDump(nullptr)); });
    EXPECT_EQ(0, child.status);
    EXPECT_FALSE(Testing::Exists(root.crash));
}

TEST(CrashDump, TenReportsOfThisProgramStopAnother) {
    const struct Row {
        const char* what;
        int ours;
        std::vector<std::string> others;  // a trailing "/" makes a folder
        bool written;
    } rows[] = {
        {"ten of ours", 10, {}, false},
        {"nine of ours, five of others", 9,
         {"VexorUpdater_1.mdmp", "VexorUpdater_2.mdmp", kProgram + "x_3.mdmp",
          "x" + kProgram + "_4.mdmp", kProgram + "_5.dmp"},
         true},
        {"nine of ours and a folder named like one", 9, {kProgram + "_9.mdmp/"}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ScratchRoot root;
        for (int i = 0; i < row.ours; ++i) {
            Testing::WriteFile(root.crash + "/" + kProgram + "_" + std::to_string(i) + ".mdmp", "");
        }
        for (const std::string& name : row.others) {
            if (name.ends_with("/")) std::filesystem::create_directories(root.crash + "/" + name);
            else Testing::WriteFile(root.crash + "/" + name, "");
        }
        const size_t before = SortedNames(root.crash).size();
        EXPECT_EQ(1, InChild(LoadAndWrite).status);
        EXPECT_EQ(before + (row.written ? 1 : 0), SortedNames(root.crash).size());
    }
}

TEST(CrashDump, AReportIsAPrivateFileNamedByProgramAndLocalTime) {
    ScratchRoot root;
    const time_t before = std::time(nullptr);
    const auto child = InChild([](int out) {
        ::setenv("TZ", "XST-5", 1);  // five hours east of UTC all year
        return LoadAndWrite(out);
    });
    const time_t after = std::time(nullptr);
    ASSERT_EQ(1, child.status);
    std::string name;
    OnlyReport(root, &name);
    // "<program>_yy-mm-dd_HH.MM.SS.mmm.mdmp": '9' stands for any digit.
    const std::string shape = kProgram + "_99-99-99_99.99.99.999.mdmp";
    bool matches = name.size() == shape.size();
    for (size_t i = 0; matches && i < shape.size(); ++i) {
        matches = shape[i] == '9' && i > kProgram.size() ? std::isdigit(static_cast<unsigned char>(name[i])) != 0
                                                          : name[i] == shape[i];
    }
    ASSERT_TRUE(matches) << name;
    struct tm local {};
    ASSERT_NE(nullptr, ::strptime(name.c_str() + kProgram.size() + 1, "%y-%m-%d_%H.%M.%S", &local));
    const time_t stamped = ::timegm(&local) - 5 * 3600;
    EXPECT_LE(before, stamped);
    EXPECT_GE(after, stamped);
    // Reports show the process's memory layout.
    struct stat folder, report;
    ASSERT_EQ(0, ::stat(root.crash.c_str(), &folder));
    ASSERT_EQ(0, ::stat((root.crash + "/" + name).c_str(), &report));
    EXPECT_EQ(0700u, folder.st_mode & 07777);
    EXPECT_EQ(0600u, report.st_mode & 07777);
}

TEST(CrashFilter, AFatalSignalWritesOneReportAndStillKills) {
    const struct Row {
        int signal;
        void (*crash)();
        const char* cause;
    } rows[] = {
        {SIGSEGV, WriteToProtectedPage, "Cause: signal 11 (SIGSEGV), code 2, address 0x"},
        {SIGSEGV, [] { OverflowTheStack(0); }, "Cause: signal 11 (SIGSEGV), code "},
        {SIGABRT, [] { std::abort(); }, "Cause: signal 6 (SIGABRT), code -6, sent by process "},
        {SIGFPE, [] { ::raise(SIGFPE); }, "Cause: signal 8 (SIGFPE), code -6, sent by process "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.cause);
        ScratchRoot root;
        const auto child = InChild([&](int out) {
            const std::string pid = std::to_string(::getpid());
            if (::write(out, pid.data(), pid.size()) < 0 || !LoadDumpSupport(nullptr)) return 9;
            InstallCrashFilter();
            row.crash();
            return 0;
        });
        EXPECT_EQ(128 + row.signal, child.status);  // WIFSIGNALED with that signal
        const std::string report = OnlyReport(root);
        EXPECT_NE(std::string::npos, report.find(row.cause)) << report;
        EXPECT_NE(std::string::npos,
                  report.find("\nProcess: " + child.output + "\nThread: " + child.output + "\n"));
        const size_t map = report.find("\nMemory map:\n");
        ASSERT_NE(std::string::npos, map) << report;
        EXPECT_NE(std::string::npos, report.find(kProgram, report.find("\nBacktrace:\n")));
        EXPECT_NE(std::string::npos, report.find("[stack]\n", map));
    }
}

void ExitFromPlainHandler(int signal) { ::_exit(signal == SIGSEGV ? 41 : 40); }
void ExitFromInfoHandler(int, siginfo_t* info, void*) {
    ::_exit(info != nullptr && info->si_signo == SIGSEGV ? 42 : 40);
}

TEST(CrashFilter, TheHandlerInstalledBeforeIsCalledAfterTheReport) {
    for (const bool with_info : {false, true}) {
        SCOPED_TRACE(with_info ? "SA_SIGINFO" : "plain");
        ScratchRoot root;
        const auto child = InChild([&](int) {
            struct sigaction previous = {};
            if (with_info) previous.sa_sigaction = ExitFromInfoHandler;
            else previous.sa_handler = ExitFromPlainHandler;
            previous.sa_flags = with_info ? SA_SIGINFO : 0;
            ::sigaction(SIGSEGV, &previous, nullptr);
            if (!LoadDumpSupport(nullptr)) return 9;
            InstallCrashFilter();
            WriteToProtectedPage();
            return 0;
        });
        EXPECT_EQ(with_info ? 42 : 41, child.status);
        EXPECT_EQ(1u, SortedNames(root.crash).size());
    }
}

TEST(LoadDumpSupport, FailuresAreLoggedAndLeaveReportsOffUnlessAlreadyLoaded) {
    const struct Row {
        bool loaded_before;
        const char* library;
        const char* symbol;
        const char* log;
    } rows[] = {
        {false, "libvexor-absent.so.1", "_Unwind_Backtrace",
         "-1 MiniDump creation disabled.  Cannot load libgcc_s.so.1 - libvexor-absent.so.1: "
         "cannot open shared object file: No such file or directory\n"},
        {false, "libgcc_s.so.1", "VexorAbsentFunction",
         "-1 MiniDump creation disabled.  The libgcc_s.so.1 in the system directory does not "
         "contain the required functions.\n"},
        {true, "libvexor-absent.so.1", "_Unwind_Backtrace", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.log);
        ScratchRoot root;
        const auto child = InChild([&](int out) {
            if (row.loaded_before && !LoadDumpSupport(nullptr)) return 9;
            PipeLog log(out, true);
            SetDumpLibraryForTesting(row.library, row.symbol);
            const bool loaded = LoadDumpSupport(&log);
            // 0 when the outcome and report writing both follow loaded_before.
            const uint32_t written = WriteCrashDump(nullptr);
            return loaded == row.loaded_before && written == (loaded ? 1u : 0u) ? 0 : 1;
        });
        EXPECT_EQ(0, child.status);
        EXPECT_EQ(row.log, child.output);
    }
}

int g_flush_out = -1;
void FlushToPipe() {
    if (::write(g_flush_out, "flush\n", 6) < 0) return;
}

TEST(ReportAssertionFailure, EndsTheProcessOnlyWhenTheEventWasReported) {
    const std::string event = "error: Assert <x>\r\nFile: f.cpp\r\nLine: 7\n";
    const struct Row {
        const char* what;
        bool claim_log;
        bool log_accepts;
        bool load_support;
        int status;  // 0: the call returned false
        std::string output;
        bool report;
    } rows[] = {
        {"no current event log", false, false, true, 0, "", false},
        {"event refused", true, false, true, 0, event, false},
        {"event reported", true, true, true, 1, event + "flush\n", true},
        {"reported, no dump support", true, true, false, 1, event + "flush\n", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ScratchRoot root;
        const auto child = InChild([&](int out) {
            g_flush_out = out;
            SetAssertionFlushHook(FlushToPipe);
            PipeLog log(out, row.log_accepts);
            if (row.claim_log && !ClaimCurrentEventLog(&log)) return 8;
            if (row.load_support && !LoadDumpSupport(nullptr)) return 9;
            return ReportAssertionFailure("x", "f.cpp", 7) ? 2 : 0;
        });
        EXPECT_EQ(row.status, child.status);
        EXPECT_EQ(row.output, child.output);
        if (row.report) {
            EXPECT_NE(std::string::npos, OnlyReport(root).find("\nCause: assertion\n"));
        } else {
            EXPECT_FALSE(Testing::Exists(root.crash));
        }
    }
}

TEST(VexorAssert, NamesTheConditionAndTheFileWithoutItsFolder) {
    const auto child = InChild([](int out) {
        PipeLog refusing(out, false);
        if (!ClaimCurrentEventLog(&refusing)) return 8;
        const bool held = VEXOR_ASSERT(1 + 1 == 2);
        const bool failed = VEXOR_ASSERT(2 < 1);
        return held && !failed ? 0 : 1;
    });
    EXPECT_EQ(0, child.status);
    EXPECT_TRUE(
        child.output.starts_with("error: Assert <2 < 1>\r\nFile: CrashDumpTest.cpp\r\nLine: "))
        << child.output;
}

}  // namespace
}  // namespace TesselSoftware
