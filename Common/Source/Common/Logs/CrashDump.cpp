#include "Common/Logs/CrashDump.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "Common/EventLogging.h"
#include "Common/Platform/MachineLayout.h"

namespace TesselSoftware {

namespace {

constexpr const char* kUnwinderLibrary = "libgcc_s.so.1";
constexpr const char* kUnwinderSymbol = "_Unwind_Backtrace";
constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr size_t kSignalCount = sizeof kCrashSignals / sizeof kCrashSignals[0];
constexpr size_t kAltStackBytes = 256 * 1024;
constexpr int kBacktraceFrames = 128;
// How long a crashing thread waits for another thread's report to finish.
constexpr int kLockWaitMilliseconds = 5000;

// Set up outside signal context, read by the handler.
std::mutex g_load_mutex;  // serialises LoadDumpSupport and InstallCrashFilter
std::atomic<bool> g_loaded{false};
std::atomic<bool> g_installed{false};
const char* g_library_name = kUnwinderLibrary;  // guarded by g_load_mutex
const char* g_symbol_name = kUnwinderSymbol;    // guarded by g_load_mutex
struct sigaction g_previous[kSignalCount];      // written before our handler goes in
std::atomic<AssertionFlushHook> g_flush_hook{nullptr};
std::atomic<long> g_utc_offset_seconds{0};

// The writer lock: the id of the thread that holds it, or 0. A plain
// std::mutex is not async-signal-safe; this is, and it lets a thread that
// faults inside its own report see that instead of waiting for itself.
std::atomic<pid_t> g_writer{0};
// Prepared outside signal context for the handler; written and read with
// g_writer held.
char g_program[NAME_MAX + 1];
char g_crash_directory[PATH_MAX];

// ---- async-signal-safe helpers -------------------------------------------

// Text built in a fixed buffer; what does not fit is cut.
template <size_t N>
class FixedText {
public:
    FixedText& operator<<(const char* text) {
        while (*text != '\0' && size_ + 1 < N) data_[size_++] = *text++;
        data_[size_] = '\0';
        return *this;
    }
    // value in decimal, padded with zeros to width digits.
    FixedText& Decimal(unsigned long long value, int width = 1) {
        char digits[24];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0 || count < width);
        while (count > 0 && size_ + 1 < N) data_[size_++] = digits[--count];
        data_[size_] = '\0';
        return *this;
    }
    FixedText& Signed(long long value) {
        if (value < 0) *this << "-";
        return Decimal(value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                 : static_cast<unsigned long long>(value));
    }
    FixedText& Hex(uintptr_t value) {
        *this << "0x";
        char digits[2 * sizeof value];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value & 0xF];
            value >>= 4;
        } while (value != 0);
        while (count > 0 && size_ + 1 < N) data_[size_++] = digits[--count];
        data_[size_] = '\0';
        return *this;
    }
    const char* c_str() const { return data_; }
    size_t size() const { return size_; }

private:
    char data_[N] = {};
    size_t size_ = 0;
};

void WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        data += written;
        size -= static_cast<size_t>(written);
    }
}

template <size_t N>
void WriteText(int fd, const FixedText<N>& text) {
    WriteAll(fd, text.c_str(), text.size());
}

pid_t ThreadId() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

bool LockWriter(pid_t self) {
    for (int waited = 0; waited < kLockWaitMilliseconds; ++waited) {
        pid_t expected = 0;
        if (g_writer.compare_exchange_strong(expected, self, std::memory_order_acquire)) {
            return true;
        }
        if (expected == self) return false;  // a fault inside our own report
        const struct timespec pause = {0, 1000 * 1000};
        ::nanosleep(&pause, nullptr);
    }
    return false;
}

void UnlockWriter() { g_writer.store(0, std::memory_order_release); }

const char* SignalName(int signal) {
    switch (signal) {
        case SIGSEGV: return "SIGSEGV";
        case SIGBUS: return "SIGBUS";
        case SIGILL: return "SIGILL";
        case SIGFPE: return "SIGFPE";
        case SIGABRT: return "SIGABRT";
        default: return "?";
    }
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian calendar).
void CivilFromDays(long long days, long long* year, unsigned* month, unsigned* day) {
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const auto day_of_era = static_cast<unsigned>(days - era * 146097);
    const unsigned year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const unsigned day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const unsigned shifted_month = (5 * day_of_year + 2) / 153;  // March = 0
    *day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    *month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    *year = static_cast<long long>(year_of_era) + era * 400 + (*month <= 2 ? 1 : 0);
}

// Appends "yy-mm-dd_HH.MM.SS.mmm" of the current local time.
template <size_t N>
void AppendTimeStamp(FixedText<N>& text) {
    struct timespec real = {};
    struct timespec tick = {};
    ::clock_gettime(CLOCK_REALTIME, &real);
    ::clock_gettime(CLOCK_MONOTONIC, &tick);
    const long long local = static_cast<long long>(real.tv_sec) + g_utc_offset_seconds.load();
    long long days = local / 86400;
    long long seconds = local % 86400;
    if (seconds < 0) {
        seconds += 86400;
        --days;
    }
    long long year = 0;
    unsigned month = 0;
    unsigned day = 0;
    CivilFromDays(days, &year, &month, &day);
    // The tick's milliseconds modulo 1000: tells apart reports of one second.
    const auto milliseconds = static_cast<unsigned long long>(tick.tv_nsec / 1000000);
    text.Decimal(static_cast<unsigned long long>(year % 100), 2) << "-";
    text.Decimal(month, 2) << "-";
    text.Decimal(day, 2) << "_";
    text.Decimal(static_cast<unsigned long long>(seconds / 3600), 2) << ".";
    text.Decimal(static_cast<unsigned long long>(seconds / 60 % 60), 2) << ".";
    text.Decimal(static_cast<unsigned long long>(seconds % 60), 2) << ".";
    text.Decimal(milliseconds, 3);
}

// Whether name is "<program>_*.mdmp".
bool IsReportOfProgram(const char* name) {
    const size_t program = std::strlen(g_program);
    const size_t length = std::strlen(name);
    constexpr size_t kSuffix = 5;  // ".mdmp"
    return length >= program + 1 + kSuffix && std::memcmp(name, g_program, program) == 0 &&
           name[program] == '_' && std::memcmp(name + length - kSuffix, ".mdmp", kSuffix) == 0;
}

// Regular files in the crash folder named like this program's reports;
// 0 when the folder cannot be read. REQUIRES: g_writer held.
int CountReports() {
    const int dir = ::open(g_crash_directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return 0;
    int count = 0;
    alignas(struct dirent64) char buffer[4096];
    for (;;) {
        const long got = ::syscall(SYS_getdents64, dir, buffer, sizeof buffer);
        if (got <= 0) break;
        for (long offset = 0; offset < got;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + offset);
            offset += entry->d_reclen;
            if (!IsReportOfProgram(entry->d_name)) continue;
            bool regular = entry->d_type == DT_REG;
            if (entry->d_type == DT_UNKNOWN) {  // file systems that do not say
                struct stat info;
                regular = ::fstatat(dir, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                          S_ISREG(info.st_mode);
            }
            if (regular) ++count;
        }
    }
    ::close(dir);
    return count;
}

// mkdir -p of the crash folder: missing parents 0755, the folder itself 0700
// (reports show the process's memory layout). REQUIRES: g_writer held.
void CreateCrashDirectory() {
    char path[PATH_MAX];
    std::memcpy(path, g_crash_directory, sizeof path);
    for (char* slash = std::strchr(path + 1, '/'); slash != nullptr;
         slash = std::strchr(slash + 1, '/')) {
        *slash = '\0';
        ::mkdir(path, 0755);
        *slash = '/';
    }
    ::mkdir(path, 0700);
}

void CopyFile(const char* source, int out) {
    const int in = ::open(source, O_RDONLY | O_CLOEXEC);
    if (in < 0) return;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        WriteAll(out, buffer, static_cast<size_t>(got));
    }
    ::close(in);
}

// REQUIRES: g_writer held.
void WriteReport(int fd, const CrashContext* context) {
    FixedText<512> line;
    line << "Crash report of " << g_program << "\nCause: ";
    if (context == nullptr) {
        line << "assertion";
    } else {
        line << "signal ";
        line.Decimal(static_cast<unsigned>(context->signal)) << " (" << SignalName(context->signal)
                                                             << ")";
        if (const siginfo_t* info = context->info) {
            line << ", code ";
            line.Signed(info->si_code);
            if (info->si_code <= 0) {  // sent by a process: si_addr is not set
                line << ", sent by process ";
                line.Decimal(static_cast<unsigned>(info->si_pid));
            } else if (context->signal != SIGABRT) {
                line << ", address ";
                line.Hex(reinterpret_cast<uintptr_t>(info->si_addr));
            }
        }
    }
    line << "\nProcess: ";
    line.Decimal(static_cast<unsigned>(::getpid())) << "\nThread: ";
    line.Decimal(static_cast<unsigned>(ThreadId())) << "\nBacktrace:\n";
    WriteText(fd, line);

    void* frames[kBacktraceFrames];
    const int depth = ::backtrace(frames, kBacktraceFrames);
    ::backtrace_symbols_fd(frames, depth, fd);

    static constexpr char kMaps[] = "Memory map:\n";
    WriteAll(fd, kMaps, sizeof kMaps - 1);
    CopyFile("/proc/self/maps", fd);
}

// ---- set-up, outside signal context -----------------------------------------

std::string ProgramName() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return program_invocation_short_name;
    std::string name(path, static_cast<size_t>(length));
    // An updated program runs on from its replaced file.
    static constexpr std::string_view kDeleted = " (deleted)";
    if (name.ends_with(kDeleted)) name.resize(name.size() - kDeleted.size());
    return name.substr(name.rfind('/') + 1);
}

void RefreshUtcOffset() {
    ::tzset();  // localtime_r need not read TZ again by itself
    const time_t now = ::time(nullptr);
    struct tm local = {};
    if (::localtime_r(&now, &local) != nullptr) g_utc_offset_seconds.store(local.tm_gmtoff);
}

void CopyName(char* target, size_t capacity, const std::string& value) {
    const size_t size = value.size() < capacity - 1 ? value.size() : capacity - 1;
    std::memcpy(target, value.data(), size);
    target[size] = '\0';
}

// Prepares everything the handler needs that cannot be computed there.
// False when another thread is writing a report and did not finish in time.
bool RefreshPreparedState(bool keep_lock) {
    const std::string program = ProgramName();
    const std::string directory = MachineLayout::CrashDirectory();
    RefreshUtcOffset();
    if (!LockWriter(ThreadId())) return false;
    CopyName(g_program, sizeof g_program, program);
    CopyName(g_crash_directory, sizeof g_crash_directory, directory);
    if (!keep_lock) UnlockWriter();
    return true;
}

size_t SignalIndex(int signal) {
    for (size_t i = 0; i < kSignalCount; ++i) {
        if (kCrashSignals[i] == signal) return i;
    }
    return kSignalCount;
}

void CrashHandler(int signal, siginfo_t* info, void* ucontext) {
    const int saved_errno = errno;
    const CrashContext context{signal, info, ucontext};
    WriteCrashDump(&context);

    const size_t index = SignalIndex(signal);
    const struct sigaction* previous = index < kSignalCount ? &g_previous[index] : nullptr;
    if (previous != nullptr && (previous->sa_flags & SA_SIGINFO) != 0 &&
        previous->sa_sigaction != nullptr) {
        previous->sa_sigaction(signal, info, ucontext);
    } else if (previous != nullptr && (previous->sa_flags & SA_SIGINFO) == 0 &&
               previous->sa_handler != SIG_DFL && previous->sa_handler != SIG_IGN) {
        previous->sa_handler(signal);
    } else {
        // The signal is blocked while this handler runs, so it stays pending
        // and the default action ends the process as soon as we return: for a
        // fault, before the instruction runs again.
        struct sigaction default_action = {};
        default_action.sa_handler = SIG_DFL;
        ::sigemptyset(&default_action.sa_mask);
        ::sigaction(signal, &default_action, nullptr);
        ::raise(signal);
    }
    errno = saved_errno;
}

// Gives the calling thread an alternate stack of kAltStackBytes at least.
// A smaller one installed by someone else (a sanitizer runtime, say) is
// replaced: the report needs some 16 KiB besides what the unwinder takes.
void SetUpAlternateStack() {
    stack_t current = {};
    if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0 &&
        current.ss_size >= kAltStackBytes) {
        return;
    }
    // Never freed: the handler may need it until the process ends. The
    // lowest page stays inaccessible, so overrunning the stack faults
    // instead of writing over whatever is mapped below it.
    const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    void* memory = ::mmap(nullptr, kAltStackBytes + page, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (memory == MAP_FAILED) return;
    ::mprotect(memory, page, PROT_NONE);
    stack_t stack = {};
    stack.ss_sp = static_cast<char*>(memory) + page;
    stack.ss_size = kAltStackBytes;
    if (::sigaltstack(&stack, nullptr) != 0) ::munmap(memory, kAltStackBytes + page);
}

}  // namespace

bool LoadDumpSupport(ILogging* logger) {
    std::lock_guard<std::mutex> lock(g_load_mutex);
    if (g_loaded.load()) return true;
    // Kept open for the life of the process: backtrace() uses it at crash time.
    void* library = ::dlopen(g_library_name, RTLD_NOW);
    if (library == nullptr) {
        if (logger != nullptr) {
            const char* reason = ::dlerror();
            logger->Log(kLogTrace, "MiniDump creation disabled.  Cannot load libgcc_s.so.1 - %s\n",
                        reason != nullptr ? reason : "");
        }
        return false;
    }
    if (::dlsym(library, g_symbol_name) == nullptr) {
        if (logger != nullptr) {
            logger->Log(kLogTrace,
                        "MiniDump creation disabled.  The libgcc_s.so.1 in the system directory "
                        "does not contain the required functions.\n");
        }
        ::dlclose(library);
        return false;
    }
    // glibc loads its unwinder on the first backtrace(); do that here, where
    // loading (and its allocations) is allowed.
    void* frame = nullptr;
    ::backtrace(&frame, 1);
    RefreshPreparedState(false);
    g_loaded.store(true);
    return true;
}

void InstallCrashFilter() {
    std::lock_guard<std::mutex> lock(g_load_mutex);
    if (g_installed.exchange(true)) return;
    RefreshPreparedState(false);
    SetUpAlternateStack();
    struct sigaction ours = {};
    ours.sa_sigaction = CrashHandler;
    ours.sa_flags = SA_SIGINFO | SA_ONSTACK;
    // A second fault while the report is written ends the process at once
    // instead of recursing.
    ::sigemptyset(&ours.sa_mask);
    for (int signal : kCrashSignals) ::sigaddset(&ours.sa_mask, signal);
    for (size_t i = 0; i < kSignalCount; ++i) {
        struct sigaction previous = {};
        if (::sigaction(kCrashSignals[i], nullptr, &previous) != 0) continue;
        const bool is_ours =
            (previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction == CrashHandler;
        if (!is_ours) g_previous[i] = previous;
        ::sigaction(kCrashSignals[i], &ours, nullptr);
    }
}

uint32_t WriteCrashDump(const CrashContext* context) {
    if (!g_loaded.load()) return 0;
    if (context == nullptr) {
        if (!RefreshPreparedState(true)) return 1;
    } else if (!LockWriter(ThreadId())) {
        return 1;
    }
    if (CountReports() < kMaxCrashReports) {
        CreateCrashDirectory();
        FixedText<PATH_MAX> path;
        path << g_crash_directory << "/" << g_program << "_";
        AppendTimeStamp(path);
        path << ".mdmp";
        // The crash folder is group-writable and sticky: a name that is
        // already there (a link another member planted, or a report of the
        // same millisecond) is never followed or overwritten.
        const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY | O_CLOEXEC, 0600);
        if (fd >= 0) {
            WriteReport(fd, context);
            ::close(fd);
        }
    }
    UnlockWriter();
    return 1;
}

void SetAssertionFlushHook(AssertionFlushHook hook) { g_flush_hook.store(hook); }

bool ReportAssertionFailure(const char* condition, const char* file, int line) {
    IEventLogging* events = CurrentEventLog();
    if (events == nullptr ||
        !events->ReportError("Assert <%s>\r\nFile: %s\r\nLine: %d", condition ? condition : "",
                             file ? file : "", line)) {
        return false;
    }
    if (AssertionFlushHook hook = g_flush_hook.load()) hook();
    WriteCrashDump(nullptr);
    ::_exit(1);
}

void SetDumpLibraryForTesting(const char* library, const char* symbol) {
    std::lock_guard<std::mutex> lock(g_load_mutex);
    g_library_name = library != nullptr ? library : kUnwinderLibrary;
    g_symbol_name = symbol != nullptr ? symbol : kUnwinderSymbol;
}

}  // namespace TesselSoftware
