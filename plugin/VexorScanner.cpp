#include "VexorScanner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <new>
#include <vector>

#include "Common/Errors/ExceptionBase.h"
#include "Common/Files/FileSystemUtils.h"
#include "EngineState.h"
#include "PluginLog.h"
#include "ScannerTextSlot.h"

namespace TesselSoftware {

namespace {

constexpr char kProductName[] = "Vexor for Tessel";
constexpr char kVendorName[] = "Ostrel";
constexpr char kVendorAddress[] = "https://www.vexor.example/";
constexpr char kNoFurtherInformation[] = "Unexpected scanner failure: no further information";
constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kMaxDatAgeDays = 30;

// A status the size of which can be read and is 0.
bool IsEmptyFile(const char* path) {
    struct stat info;
    return ::stat(path, &info) == 0 && info.st_size == 0;
}

void ClearInfo(ScannerInfo* info) {
    for (ScannerText* slot : {&info->product_name, &info->vendor_name, &info->vendor_address,
                              &info->unused, &info->dat_folder, &info->engine_version,
                              &info->dat_version}) {
        ClearScannerText(slot);
    }
    info->capability = 0;
    info->dat_folder_known = 0;
    info->ready = 0;
}

}  // namespace

// ---- CScannerBase -------------------------------------------------------

int32_t CScannerBase::QueryInterface(const void* /*interface_id*/, void** /*out*/) {
    return kScannerNoInterface;
}

uint32_t CScannerBase::AddRef() { return ++references_; }

uint32_t CScannerBase::Release() {
    const uint32_t left = --references_;
    if (left == 0) DeletingDestructor(1);
    return left;
}

IScannerLegacy* CScannerBase::DeletingDestructor(uint32_t flags) {
    this->~CScannerBase();
    if (flags & 1) ::operator delete(this);
    return this;
}

uint32_t CScannerBase::GetInterfaceVersion() { return kScannerInterfaceVersion; }

int32_t CScannerBase::SetLogger(IScannerLogger* logger) {
    try {
        if (logger == nullptr || logger->GetInterfaceVersion() < kScannerInterfaceVersion) return 0;
    } catch (...) {
        return 0;
    }
    logger_ = logger;
    return 1;
}

IScannerLogger* CScannerBase::GetLogger() { return logger_; }

// ---- CVexorScanner: every entry point keeps exceptions inside ----------

int32_t CVexorScanner::Initialise(const ScannerOptions* options, ScannerInfo* info,
                                  ScannerText* error) {
    try {
        return InitialiseImpl(options, info, error);
    } catch (...) {
        SetScannerText(error, "Unexpected failure while initialising the scanner.");
        return kInitFailed;
    }
}

int32_t CVexorScanner::ScanFile(const char* path, ScannerText* virus_name, ScannerText* message) {
    try {
        return ScanFileImpl(path, virus_name, message);
    } catch (...) {
        SetScannerText(message, kNoFurtherInformation);
        return kScanFailed;
    }
}

int32_t CVexorScanner::CleanFile(const char* path, ScannerText* message) {
    try {
        return CleanFileImpl(path, message);
    } catch (...) {
        SetScannerText(message, "Internal scanner error file not cleaned");
        return kCleanFailed;
    }
}

void CVexorScanner::Uninitialise() {
    try {
        if (!initialised_) return;
        EngineState& engine = EngineState::Instance();
        // The last object closes the engine under the engine lock, so no
        // Initialise or reload on another thread can start an engine that
        // this thread then unloads under it.
        std::lock_guard lock(engine.engine_lock());
        if (--engine.initialised_objects() <= 0) engine.StopEngine(GetLogger());
        initialised_ = false;
    } catch (...) {
        initialised_ = false;
    }
}

int32_t CVexorScanner::InitialiseImpl(const ScannerOptions* options, ScannerInfo* info,
                                      ScannerText* error) {
    EngineState& engine = EngineState::Instance();
    if (info != nullptr) {
        ClearInfo(info);
        SetScannerText(&info->product_name, kProductName);
        SetScannerText(&info->vendor_name, kVendorName);
        SetScannerText(&info->vendor_address, kVendorAddress);
        info->capability = 1;
    }
    PluginLog(GetLogger(), kPluginLogDetail, "Preparing to initialise scanner");
    extra_option_ = options != nullptr && options->extra_option != 0;
    PluginLog(GetLogger(), kPluginLogDetail, "Locating DAT file root path");
    const DatValues dat = engine.ReadDatValues();
    if (dat.path.empty()) return kInitNotReady;
    if (info != nullptr) {
        info->dat_folder_known = 1;
        SetScannerText(&info->dat_folder, dat.path);
    }
    if (dat.version == 0) {
        PluginLog(GetLogger(), kPluginLogWarning, "No DAT version set. No DAT files were found.");
        SetScannerText(error, "No DAT version set. No DAT files found.");
        return kInitFailed;
    }
    PluginLog(GetLogger(), kPluginLogInfo, "Latest DAT file version is %d", static_cast<int>(dat.version));

    std::lock_guard lock(engine.engine_lock());
    if (engine.initialised_objects().load() <= 0) {
        const int started = engine.StartEngine(GetLogger(), error);
        if (started != kInitReady) return started;
        engine.ScheduleChecks(engine.Now());
    }
    ++engine.initialised_objects();
    initialised_ = true;
    if (info != nullptr) {
        SetScannerText(&info->engine_version, engine.engine_version_text());
        SetScannerText(&info->dat_version, engine.dat_version_text());
        info->ready = 1;
    }
    return kInitReady;
}

bool CVexorScanner::EngineScan(const char* path, bool cleaning, ScannerText* message,
                               int64_t* dat_date) {
    EngineState& engine = EngineState::Instance();
    state_ = ScanState{};
    PluginLog(GetLogger(), kPluginLogDetail, "Preparing to scan%s file", cleaning ? "/clean" : "");
    const int64_t now = engine.Now();
    const bool dat_due = now >= engine.next_dat_check();
    const bool engine_due = now >= engine.next_engine_check();
    if (dat_due || engine_due) {
        PluginLog(GetLogger(), kPluginLogDetail, "Checking for updates...");
        if (!engine.CheckDefinitions(dat_due, engine_due, GetLogger(), message)) return false;
    }

    EngineObjectDescriptor object{};
    object.size = sizeof(EngineObjectDescriptor);
    object.kind = 4;
    object.count = 1;
    object.path = path;
    // The request lives on this stack for the call: 10 items, 11 or 12 with
    // the extra option and cleaning.
    const auto flag = [](uint16_t tag) { return EngineTagItem{sizeof(EngineTagItem), tag, 0, 0}; };
    EngineTagItem items[12] = {
        {sizeof(EngineTagItem), kEngineTagCallback, 8, reinterpret_cast<uint64_t>(&EngineCallback)},
        {sizeof(EngineTagItem), kEngineTagObject, sizeof(EngineObjectDescriptor),
         reinterpret_cast<uint64_t>(&object)},
        flag(kEngineTagOption502), flag(kEngineTagOption561), flag(kEngineTagOption400),
        flag(kEngineTagOption401), flag(kEngineTagOption403), flag(kEngineTagOption404),
        flag(kEngineTagOption517),
        {sizeof(EngineTagItem), kEngineTagCallbackContext, 8, reinterpret_cast<uint64_t>(&state_)},
    };
    uint16_t count = 10;
    if (extra_option_) items[count++] = flag(kEngineTagOption412);
    if (cleaning) items[count++] = flag(kEngineTagClean);
    const EngineRequest request{sizeof(EngineRequest), count, items};

    {
        std::lock_guard lock(engine.engine_lock());
        ++engine.active_scans();
    }
    // Counted as active: no reload can close the engine until the count drops.
    struct ActiveScan {
        EngineState& engine;
        ~ActiveScan() { --engine.active_scans(); }
    } active{engine};
    *dat_date = engine.dat_date();
    const uint64_t handle = engine.handle();
    const AVScanObjectFn scan = engine.scan_function();
    if (handle == 0 || scan == nullptr) {
        SetScannerText(message, "Engine has been closed - Virus signature update failed.");
        return false;
    }
    PluginLog(GetLogger(), kPluginLogInfo, "Scanning file '%s' %s", path, cleaning ? "with cleaning" : "");
    const uint16_t status = scan(handle, &request, 0);
    if (status != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "ScanObject error: %d\n", status);
        SetScannerText(message, text);
        return false;
    }
    return true;
}

int32_t CVexorScanner::ScanFileImpl(const char* path, ScannerText* virus_name, ScannerText* message) {
    if (path == nullptr) {
        SetScannerText(message, kNoFurtherInformation);
        return kScanFailed;
    }
    if (IsEmptyFile(path)) return kScanClean;
    int64_t dat_date = 0;
    if (!EngineScan(path, false, message, &dat_date)) {
        PluginLog(GetLogger(), kPluginLogWarning, "Unexpected scanner failure: %s",
                  ScannerTextOf(message).c_str());
        return kScanFailed;
    }
    const ScanState& s = state_;
    if (s.infected) {
        PluginLog(GetLogger(), kPluginLogInfo, "Found virus '%s'", s.virus_name.c_str());
        SetScannerText(virus_name, s.virus_name);
        return kScanInfected;
    }
    if (s.nesting != 0 || s.internal_failure || s.clean_failed || s.removal) {
        SetScannerText(message, kNoFurtherInformation);
        return kScanFailed;
    }
    if (s.corrupt) {
        SetScannerText(message, "File is corrupt");
        return kScanCorrupt;
    }
    if (s.encrypted) {
        SetScannerText(message, "File is encrypted");
        return kScanEncrypted;
    }
    if (s.not_fully_unpacked) {
        SetScannerText(message, "File contents could not be fully unpacked or analyzed");
        return kScanIncomplete;
    }
    if (s.locked) {
        PluginLog(GetLogger(), kPluginLogWarning, "File '%s' is locked or access denied", path);
        SetScannerText(message, "File is locked or access denied");
        return kScanFailed;
    }
    if (s.zero_size) {
        SetScannerText(message, "File contains 0 Kb");
        return kScanClean;
    }
    if (s.summary_ok) {
        const int64_t age = (EngineState::Instance().Now() - dat_date) / kSecondsPerDay;
        if (age <= kMaxDatAgeDays) return kScanClean;
        char text[128];
        std::snprintf(text, sizeof text, "No viruses found (using %ld day old DAT files)",
                      static_cast<long>(age));
        SetScannerText(message, text);
        return kScanCleanOldDat;
    }
    SetScannerText(message, kNoFurtherInformation);
    return kScanFailed;
}

int32_t CVexorScanner::CleanFileImpl(const char* path, ScannerText* message) {
    if (path == nullptr || IsEmptyFile(path)) {
        SetScannerText(message, "The file could not be cleaned by Vexor - zero-length.");
        return kCleanFailed;
    }
    // On Linux only "/" separates folders: a "\\" is part of a file name.
    // A file in the root folder keeps its copy in the root folder.
    const std::string target = path;
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : target.substr(0, slash);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string copy;
    std::error_code error;
    try {
        copy = CreateUnique(folder, name);
    } catch (const ExceptionBase&) {
        copy.clear();
    }
    if (copy.empty() || !std::filesystem::copy_file(target, copy, error)) {
        PluginLog(GetLogger(), kPluginLogWarning, "Failed to make a temporary copy of '%s'", path);
        SetScannerText(message, "Failed to make a temporary copy of the file.");
        return kCleanFailed;
    }
    struct RemoveCopy {
        const std::string& path;
        ~RemoveCopy() { ::unlink(path.c_str()); }
    } remove_copy{copy};

    int64_t dat_date = 0;
    if (!EngineScan(copy.c_str(), true, message, &dat_date)) {
        PluginLog(GetLogger(), kPluginLogWarning, "Unexpected scanner failure: %s",
                  ScannerTextOf(message).c_str());
        return kCleanFailed;
    }
    const ScanState& s = state_;
    if (s.nesting != 0 || s.internal_failure) {
        SetScannerText(message, "Internal scanner error file not cleaned");
        return kCleanFailed;
    }
    if (s.clean_failed || s.removal) {
        SetScannerText(message, "The file could not be cleaned by Vexor.");
        return kCleanNotCleaned;
    }
    if (s.cleaned) {
        // One atomic rename puts the repaired copy in place: at every moment
        // the path holds either the original or the repaired file.
        if (::rename(copy.c_str(), target.c_str()) == 0) {
            PluginLog(GetLogger(), kPluginLogInfo, "A virus was found and cleaned");
            SetScannerText(message, "");
            return kCleanDone;
        }
        SetScannerText(message, "File was cleaned but could not be replaced.");
        return kCleanFailed;
    }
    if (s.summary_ok && !s.infected) {
        SetScannerText(message, "No virus found.");
        return kCleanNotCleaned;
    }
    SetScannerText(message, "The file could not be cleaned");
    return kCleanNotCleaned;
}

}  // namespace TesselSoftware
