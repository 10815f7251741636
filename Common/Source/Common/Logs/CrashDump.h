// Crash reports: a plain-text record of why and where the process died,
// written to MachineLayout::CrashDirectory() when a fatal signal arrives or
// an assertion fails.
//
//   LoadDumpSupport(&ServiceTextLog());   // at start-up, on the main thread
//   InstallCrashFilter();
//   SetAssertionFlushHook([] { ServiceTextLog().Close(); });
//   ...
//   if (!VEXOR_ASSERT(count <= kMaxFiles)) return kInternalError;
//
// A report is named <program>_<yy-mm-dd_HH.MM.SS>.<mmm>.mdmp: the file name
// of this executable, the local time and the milliseconds of the monotonic
// clock. It holds the cause, the process and thread ids, a backtrace and a
// copy of /proc/self/maps. At most ten reports of one program are kept: once
// ten are in the folder, no more are written until someone removes them.
//
// Everything here is process-wide. Writing a report is async-signal-safe: it
// allocates nothing, uses no stdio and no locale or time-zone code, and
// works from names prepared beforehand (program name, crash folder, UTC
// offset). Writes from several threads are serialised by one signal-safe
// lock; a thread that crashes while it is writing a report skips the second.
#pragma once

#include <signal.h>

#include <cstdint>

#include "Common/Logging.h"

namespace TesselSoftware {

// What a fatal signal handler knows about the crash.
struct CrashContext {
    int signal = 0;
    const siginfo_t* info = nullptr;
    const void* ucontext = nullptr;  // the handler's ucontext_t
};

// The most reports of this program kept in the crash folder.
inline constexpr int kMaxCrashReports = 10;

// Makes report writing possible: loads the unwinder library (libgcc_s.so.1)
// now, outside any signal context, checks that it exports the unwinding
// function and primes backtrace() so that a crash does not load anything.
// Also prepares the program name, crash folder and UTC offset. Does nothing
// when support is already loaded. On failure writes the reason to logger
// (may be null) at kLogTrace, leaves report writing off and returns false.
// Not for use in a signal handler; safe from any thread otherwise.
bool LoadDumpSupport(ILogging* logger);

// Installs the fatal-signal handler for SIGSEGV, SIGBUS, SIGILL, SIGFPE and
// SIGABRT, once per process (later calls do nothing), and gives the calling
// thread an alternate signal stack so that a stack overflow there is still
// reported. Other threads run the handler on their own stacks.
//
// The handler writes a report, then passes the signal on to the action that
// was installed before: a handler function is called (with the siginfo
// arguments when it asked for them); otherwise the default action is put
// back and the signal raised again, so the process still ends by the signal
// that killed it, with its usual exit status and core dump.
void InstallCrashFilter();

// Writes one report. context is the fatal signal, or null for an assertion
// failure. Returns 0 when support is not loaded (nothing is touched), else 1,
// also when the report limit stopped the write or the file could not be
// created. A null context also refreshes the prepared program name, crash
// folder and UTC offset first (so it is not async-signal-safe); a non-null
// context is. Serialised with other writers in the process.
uint32_t WriteCrashDump(const CrashContext* context);

// Called by ReportAssertionFailure before the report is written and the
// process ends: the service flushes its text log there. Null for none.
using AssertionFlushHook = void (*)();
void SetAssertionFlushHook(AssertionFlushHook hook);

// Reports a failed assertion as an error event of the current event log:
// "Assert <condition>\r\nFile: file\r\nLine: line". When there is a current
// event log and the event was written, runs the flush hook, writes a report
// and ends the process with _exit(1) (no static destructors run, so nothing
// is torn down under a pass still at work). Otherwise returns false and the
// caller carries on with its failed result.
bool ReportAssertionFailure(const char* condition, const char* file, int line);

// Makes LoadDumpSupport load library and look up symbol instead of the
// unwinder, so tests can see its failures. Both must stay valid for the life
// of the process; null restores the default.
void SetDumpLibraryForTesting(const char* library, const char* symbol);

// The part of path after its last '/'.
constexpr const char* FileNameOfPath(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/') name = p + 1;
    }
    return name;
}

}  // namespace TesselSoftware

// Evaluates to true when cond holds. Otherwise reports the failure (see
// ReportAssertionFailure), which ends the process when the event could be
// reported, and evaluates to false when it could not.
#define VEXOR_ASSERT(cond)                                                     \
    (static_cast<bool>(cond)                                                   \
         ? true                                                                \
         : ::TesselSoftware::ReportAssertionFailure(                           \
               #cond, ::TesselSoftware::FileNameOfPath(__FILE__), __LINE__))
