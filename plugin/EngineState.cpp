#include "EngineState.h"

#include <strings.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

#include "Common/Engine/EngineStartRequest.h"
#include "Common/Errors/Win32Error.h"
#include "Common/Platform/DynamicLibrary.h"
#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "PluginLog.h"
#include "ScannerTextSlot.h"

namespace TesselSoftware {

namespace {

constexpr char kEngineFileName[] = "mscan64a.so";
constexpr int kMaxCloseCalls = 10;

std::string WithSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

template <typename T>
bool ReadPointer(const void* at, T* out) {
    if (at == nullptr) return false;
    std::memcpy(out, at, sizeof *out);
    return true;
}

// The packed DOS date of the loaded DAT files, reached through the engine's
// information: P -> Q; Q + 32 -> R; R -> S; the date at S + 12.
bool ReadDatDate(const void* p, uint16_t* dos_date) {
    const char *q = nullptr, *r = nullptr, *s = nullptr;
    return ReadPointer(p, &q) && q != nullptr && ReadPointer(q + 32, &r) && r != nullptr &&
           ReadPointer(r, &s) && s != nullptr && ReadPointer(s + 12, dos_date);
}

// Local midnight of a packed DOS date; false for an impossible date.
bool LocalMidnight(uint16_t dos_date, int64_t* when) {
    struct tm date {};
    date.tm_mday = dos_date & 0x1F;
    date.tm_mon = ((dos_date >> 5) & 0x0F) - 1;
    date.tm_year = (dos_date >> 9) + 80;
    date.tm_isdst = -1;
    if (date.tm_mday < 1 || date.tm_mday > 31 || date.tm_mon < 0 || date.tm_mon > 11) return false;
    struct tm normalised = date;
    const std::time_t seconds = std::mktime(&normalised);
    if (seconds == static_cast<std::time_t>(-1) || normalised.tm_mday != date.tm_mday ||
        normalised.tm_mon != date.tm_mon) {
        return false;  // 31 April and the like
    }
    *when = static_cast<int64_t>(seconds);
    return true;
}

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string SystemText(uint32_t code) {
    std::string text = SystemErrorText(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace

EngineState& EngineState::Instance() {
    // Created with the library (see the constructor in Export.cpp) and
    // destroyed when it is unloaded: by then the host has uninitialised its
    // scanner objects.
    static EngineState state;
    return state;
}

EngineState::EngineState() : clock_([] { return static_cast<int64_t>(std::time(nullptr)); }) {}

EngineState::~EngineState() { Shutdown(); }

void EngineState::Shutdown() {
    // A host that unloads the library without uninitialising its last
    // object still gets the engine closed and unloaded, the way the last
    // Uninitialise does it: under the engine lock, after running scans.
    std::lock_guard lock(engine_lock_);
    StopEngine(nullptr);
}

int64_t EngineState::Now() const {
    if (!clock_replaced_.load(std::memory_order_acquire)) {
        return static_cast<int64_t>(std::time(nullptr));
    }
    std::lock_guard lock(clock_mutex_);
    return clock_();
}

void EngineState::SetClockForTesting(std::function<int64_t()> clock) {
    std::lock_guard lock(clock_mutex_);
    clock_ = std::move(clock);
    clock_replaced_.store(true, std::memory_order_release);
}

void EngineState::ScheduleChecks(int64_t now) {
    next_dat_check_ = now + kDatCheckInterval;
    next_engine_check_ = now + kEngineCheckInterval;
}

namespace {

// The values of the product key that belong together, as the service last
// wrote them (one read transaction: never a path of one save with the
// version of another). A missing key or value reads as empty.
std::vector<RegistryStore::ValueRead> ReadTogether(const std::vector<std::string>& names) {
    try {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
        return key.ReadValuesTogether(names);
    } catch (const ExceptionBase&) {
        return std::vector<RegistryStore::ValueRead>(names.size(), {Win32::kFileNotFound, kRegNone, {}});
    }
}

}  // namespace

DatValues EngineState::ReadDatValues() {
    const auto read = ReadTogether({"DATPath", "DATVersion"});
    return DatValues{RegistryStringOf(read[0]).value_or(""), RegistryDwordOf(read[1]).value_or(0)};
}

EngineValues EngineState::ReadEngineValues() {
    const auto read = ReadTogether({"EnginePath", "EngineHash"});
    EngineValues values;
    values.folder = RegistryStringOf(read[0]).value_or("");
    values.hash = RegistryStringOf(read[1]).value_or("");
    return values;
}

void EngineState::UnloadLibrary() {
    initialise_ = nullptr;
    scan_ = nullptr;
    close_ = nullptr;
    library_.reset();
}

bool EngineState::LoadLibrary(const std::string& folder, uint32_t* code, std::string* reason) {
    UnloadLibrary();
    if (folder.empty()) {
        *code = Win32::kModNotFound;
        *reason = "EnginePath is not set";
        return false;
    }
    library_ = std::make_unique<DynamicLibrary>(WithSlash(folder) + kEngineFileName);
    if (!library_->IsLoaded()) {
        *code = library_->ErrorCode();
        *reason = library_->Error();
        return false;
    }
    const auto initialise = library_->Function<AVInitialiseFn>(kEngineExportInitialise);
    const auto close = library_->Function<AVCloseFn>(kEngineExportClose);
    const auto scan = library_->Function<AVScanObjectFn>(kEngineExportScanObject);
    if (initialise == nullptr || close == nullptr || scan == nullptr) {
        *code = Win32::kProcNotFound;
        *reason = SystemText(Win32::kProcNotFound) + " (" +
                  (initialise == nullptr ? kEngineExportInitialise
                   : close == nullptr    ? kEngineExportClose
                                         : kEngineExportScanObject) +
                  ")";
        return false;
    }
    initialise_ = initialise;
    close_ = close;
    scan_ = scan;
    return true;
}

int EngineState::StartEngine(IScannerLogger* logger, ScannerText* error) {
    PluginLog(logger, kPluginLogInfo, "Preparing to initialise Vexor scanner engine.\n");
    const EngineValues engine = ReadEngineValues();
    uint32_t load_error = 0;
    std::string reason;
    if (!LoadLibrary(engine.folder, &load_error, &reason)) {
        UnloadLibrary();  // a library without its entry points stays unloaded
        PluginLog(logger, kPluginLogInfo, "Vexor engine dll was not found.");
        // The loader's own words: a missing file, a missing entry point and
        // a file that is no library for this machine need different fixes.
        SetScannerText(error, Printf("Vexor engine dll was not found. (%s) (%ld) (%s)",
                                     engine.folder.c_str(), static_cast<long>(load_error),
                                     reason.c_str()));
        return kInitFailed;
    }
    const DatValues dat = ReadDatValues();
    if (dat.path.empty() || dat.version < 1) {
        SetScannerText(error, "Virus scanner is not installed or doesn't have any DAT files.");
        return kInitNotReady;
    }
    const EngineStartRequest request(&EngineCallback, dat.path, engine.folder);
    const std::string& folder = request.dat_folder();

    PluginLog(logger, kPluginLogInfo, "Initialising Vexor engine");
    cached_engine_folder_ = engine.folder;
    cached_engine_hash_ = engine.hash;
    EngineInitResult result{};
    result.size = sizeof(EngineInitResult);
    const uint16_t status = initialise_.load()(request.get(), &result);
    if (status != 0) {
        const std::string text = Printf("Failed to initialize AV interface: %d", status);
        SetScannerText(error, text);
        PluginLog(logger, kPluginLogInfo, "%s\n", text.c_str());
        return kInitFailed;
    }
    uint16_t dos_date = 0;
    int64_t midnight = 0;
    if (!ReadDatDate(result.dat_info, &dos_date) || !LocalMidnight(dos_date, &midnight)) {
        // The engine runs on files whose date makes no sense: their age and
        // every old-DAT warning would be wrong, so refuse them.
        CloseHandle(result.handle);
        const std::string text = Printf(
            "The DAT files in %s carry an invalid date (0x%04x).", folder.c_str(), dos_date);
        SetScannerText(error, text);
        PluginLog(logger, kPluginLogWarning, "%s\n", text.c_str());
        return kInitFailed;
    }
    handle_ = result.handle;
    engine_version_text_ = Printf("%d.%d", static_cast<int>(result.major), static_cast<int>(result.minor));
    loaded_dat_version_ = dat.version;
    dat_date_ = midnight;
    char date_text[129];
    const std::time_t midnight_time = static_cast<std::time_t>(midnight);
    struct tm local {};
    localtime_r(&midnight_time, &local);
    std::strftime(date_text, sizeof date_text, "%x", &local);
    dat_version_text_ = Printf("%d, %s", static_cast<int>(dat.version), date_text);
    PluginLog(logger, kPluginLogInfo, "Vexor engine initialized. Engine version %s. DAT file version %s",
              engine_version_text_.c_str(), dat_version_text_.c_str());
    return kInitReady;
}

uint16_t EngineState::CloseHandle(uint64_t handle) {
    const AVCloseFn close = close_.load();
    if (close == nullptr) return 0;
    uint16_t status = close(handle);
    for (int call = 2; status != 0 && call <= kMaxCloseCalls; ++call) {
        if (call > 2) std::this_thread::sleep_for(std::chrono::milliseconds(poll_pause_ms_.load()));
        status = close(handle);
    }
    return status;
}

void EngineState::StopEngine(IScannerLogger* logger) {
    while (const int32_t running = active_scans_.load()) {
        PluginLog(logger, kPluginLogInfo, "  Waiting for %d scanner threads to complete...", running);
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_pause_ms_.load()));
    }
    const uint64_t handle = handle_.exchange(0);
    if (handle != 0) CloseHandle(handle);
    UnloadLibrary();
}

bool EngineState::CheckDefinitions(bool dat_due, bool engine_due, IScannerLogger* logger,
                                   ScannerText* message) {
    std::unique_lock check(update_check_lock_, std::try_to_lock);
    if (!check.owns_lock()) return true;  // another thread is checking: scan on
    std::string reason;
    bool restart = false;
    if (dat_due) {
        const DatValues dat = ReadDatValues();
        if (dat.path.empty() || dat.version < 1) {
            SetScannerText(message, "Virus scanner is not installed or doesn't have any DAT files.");
            return false;
        }
        if (dat.version > loaded_dat_version_.load()) {
            reason = Printf("Updating Vexor engine to version %d DAT file.\n", static_cast<int>(dat.version));
            restart = true;
        }
        next_dat_check_ = Now() + kDatCheckInterval;
    }
    if (engine_due) {
        const EngineValues engine = ReadEngineValues();
        std::string cached;
        {
            std::lock_guard lock(engine_lock_);
            cached = cached_engine_hash_;
        }
        if (strcasecmp(engine.hash.c_str(), cached.c_str()) != 0) {
            reason += "Updating Vexor engine\n";
            restart = true;
        }
        next_engine_check_ = Now() + kEngineCheckInterval;
    }
    if (!restart) return true;

    PluginLog(logger, kPluginLogInfo, "Restarting engine, reason: %s", reason.c_str());
    std::lock_guard engine(engine_lock_);
    while (const int32_t running = active_scans_.load()) {
        PluginLog(logger, kPluginLogInfo, "  Waiting for %d scanner threads to complete...", running);
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_pause_ms_.load()));
    }
    if (const uint64_t handle = handle_.load(); handle != 0) {
        const uint16_t status = CloseHandle(handle);
        if (status != 0) {
            const std::string text = Printf("Unable to stop Vexor engine. Error: %d", status);
            SetScannerText(message, text);
            PluginLog(logger, kPluginLogInfo, "%s", text.c_str());
            return false;  // the old engine keeps running
        }
    }
    handle_ = 0;
    if (StartEngine(logger, message) != kInitReady) return false;
    PluginLog(logger, kPluginLogInfo, "Vexor engine successfully reinitialized.\n");
    return true;
}

}  // namespace TesselSoftware
