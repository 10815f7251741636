// Child processes started from a command line, as the archive tool is run.
//
// The command line keeps the Windows form the rest of the system writes and
// logs ("\"/opt/vexor/7za\" x -y -p\"\" -o\"/dat/~new\" \"/dat/a.zip\""); it
// is split into an argument vector by the Windows quoting rules and started
// with fork and exec (no shell). A child is killed when the thread that
// started it ends, so a killed updater leaves no tool running on. Safe to
// call from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace TesselSoftware {

// Splits a command line as the Windows C runtime does: white space separates
// arguments outside double quotes; 2n backslashes before a quote give n
// backslashes and the quote toggles quoting; 2n+1 give n and a literal quote;
// "" inside quotes gives a literal quote; other backslashes are literal.
std::vector<std::string> SplitCommandLine(const std::string& command_line);

struct ChildOutcome {
    enum class Kind { kExited, kTimedOut, kStartFailed, kWaitFailed, kCancelled };
    Kind kind = Kind::kStartFailed;
    int32_t exit_code = 0;  // kExited: the exit status (128 + signal when killed)
    uint32_t error = 0;     // kStartFailed / kWaitFailed: Win32 error number
};

// Starts the program named by the first argument (searched on PATH when it
// has no "/"), with standard input from /dev/null and no other inherited
// descriptors, and waits up to timeout_ms. A child still running then is
// killed with SIGKILL and reaped.
//
// With output given, the child's standard output is collected there, at
// most max_output bytes (the rest is read and dropped, so a chatty child
// never blocks); otherwise it goes to /dev/null. When cancelled is given
// and returns true while the child runs (it is asked at least every 50 ms),
// the child is killed and reaped: kCancelled.
ChildOutcome RunChildProcess(const std::vector<std::string>& argv, int64_t timeout_ms,
                             std::string* output = nullptr, size_t max_output = 0,
                             const std::function<bool()>& cancelled = {});

}  // namespace TesselSoftware
