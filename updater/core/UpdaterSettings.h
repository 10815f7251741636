// UpdaterSettings: the service's persistent settings, schedule and status,
// mirrored from the product's registry key.
//
//   UpdaterSettings settings;
//   settings.Load();                                  // throws ExceptionBase
//   settings.SetDATPath(folder);
//   settings.SetDATVersion(version);
//   settings.Save(SaveScope::CheckResults);           // under the registry lock
//
// Other processes write the same store (the one-shot run, vexor-reg, a
// second service), so the object remembers which values this process set
// since it last read them, and a save writes only those: no save ever puts
// back a stale copy of a value another process wrote. Refresh re-reads the
// rest. The sources' passwords live in the root-only secrets store under
// the same names.
//
// The object is itself a recursive lock that guards the values in memory;
// accessors hold it briefly, and a caller may hold it across several
// accessor calls. Load, Refresh and Save serialize on a save lock of their
// own and hold the value lock only to copy values, never while they wait
// for the store or the machine-wide registry lock (bounded by
// RegistryLockTimeout), so readers of the values never wait for a writer
// that waits for another process. They must be called without the value
// lock held. Safe for concurrent use.
#pragma once

#include <cstdint>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Common/RecursiveLock.h"
#include "Common/Registry/RegistryKey.h"
#include "core/SourceSettings.h"

namespace TesselSoftware {

class NamedMutex;

enum class SaveScope { Everything, Schedule, CheckResults };

// The four status values written together by SetUpdateStatus.
struct UpdateStatus {
    std::string text;
    int64_t time = 0;             // seconds since 1970, when it was written
    int32_t expiry_seconds = 0;   // how long the text stays current after time
    int32_t update_state = 0;     // 0 idle, 1 update in progress
};

inline constexpr char kDefaultDatSite[] = "http://update.vexor.example/Products/CommonUpdater";
inline constexpr char kDefaultEngineSite[] = "https://engine.vexor.example/engine610";
inline constexpr int64_t kMinUpdateInterval = 600;
inline constexpr int64_t kMaxUpdateInterval = 3600;
// The engine library's file name in the EnginePath folder.
inline constexpr char kEngineLibraryName[] = "mscan64a.so";

class UpdaterSettings : public RecursiveLock {
public:
    // Opens (or creates) the machine-wide registry lock; when that fails the
    // lock is absent and saving DATPath and DATVersion fails.
    UpdaterSettings();
    virtual ~UpdaterSettings();

    // Fills every field from the store and forgets the changes; throws
    // ExceptionBase "Error loading DAT file updater configuration - ..."
    // (fields read so far keep their new values).
    void Load();
    // Like Load, but keeps the values this process changed and has not
    // saved yet; for the values other processes may have written since.
    void Refresh();
    // Writes the values of scope that this process changed since it last
    // read or wrote them; throws ExceptionBase "Error saving DAT file
    // updater configuration - ..." (values already written stay; the others
    // are still to be saved).
    void Save(SaveScope scope);
    // How long a save waits for the registry lock that another process
    // holds before it fails; 30 seconds unless set (tests).
    static void SetRegistryLockTimeoutForTesting(std::chrono::milliseconds timeout);

    std::string DATFolder() const;
    void SetDATFolder(const std::string& value);
    int64_t NextCheckTime() const;
    void SetNextCheckTime(int64_t value);
    int64_t LastCheckTime() const;
    // Stores t, sets NextCheckTime to the check after t (NextCheckAfter)
    // and saves the check results and the schedule.
    // REQUIRES: the value lock not held.
    void SetLastCheckTime(int64_t t);
    // The next check after a check at t: t + UpdateInterval without a
    // splay; with one, this machine's next slot after t, a slot being
    // k * UpdateInterval + its splay offset. The splay so moves when a
    // machine checks, never how often: a fleet keeps its rate and its
    // spread, and a check asked for between two slots moves no slot.
    int64_t NextCheckAfter(int64_t t) const;
    std::string LastCheckResult() const;
    void SetLastCheckResult(const std::string& value);
    int64_t LastUpdateTime() const;
    // Stores t and saves the check results. REQUIRES: the value lock not held.
    void SetLastUpdateTime(int64_t t);
    std::string DATPath() const;
    void SetDATPath(const std::string& value);
    int32_t DATVersion() const;
    void SetDATVersion(int32_t value);
    int64_t UpdateInterval() const;
    // Stores seconds clamped to 600..3600 and recomputes NextCheckTime from
    // LastCheckTime (NextCheckAfter); does not save.
    void SetUpdateInterval(int64_t seconds);
    // UpdateSplaySeconds (0..3600), read from the store by Load; written by
    // the administrator (vexorctl as root, vexor-reg), never by the service.
    int64_t UpdateSplay() const;
    // This machine's offset of its check slots: in [0, UpdateSplay()).
    int64_t SplayOffset() const;
    int32_t DATSource() const;
    void SetDATSource(int32_t value);
    int32_t EngineUpdateSource() const;
    void SetEngineUpdateSource(int32_t value);

    SourceSettings& DatSourceSettings() { return dat_source_; }
    const SourceSettings& DatSourceSettings() const { return dat_source_; }
    SourceSettings& EngineSourceSettings() { return engine_source_; }
    const SourceSettings& EngineSourceSettings() const { return engine_source_; }

    // Throws "Error setting DAT file update status - ..." on failure.
    void SetUpdateStatus(const std::string& text, int32_t expiry_seconds, int32_t update_state);
    // Throws "Error reading DAT file update status - ..." on failure.
    UpdateStatus GetUpdateStatus() const;

    // The folder (ending in "/") of EnginePath or InstallPath; false when
    // the key or value is missing or not a terminated string of at most 520
    // characters. Never throws.
    // Read the store directly (no fields are involved).
    static bool ReadEnginePath(std::string* path);
    static bool ReadInstallPath(std::string* path);
    // Writes EnginePath / EngineHash; failures are not reported.
    void WriteEnginePath(const std::string& path);
    void WriteEngineHash(const std::string& text);
    // Writes EnginePath and EngineHash in one store transaction under the
    // registry lock; throws ExceptionBase "Error saving the engine settings
    // - ..." when they cannot be written.
    void SaveEngine(const std::string& path, const std::string& hash);
    // The engine release a pass refused because its library is stamped with
    // another version than the release names ("<version> <archive> <md5>"),
    // or ""; kept in the store so later passes skip that release instead of
    // failing on it (and skipping the DAT update) again. Never throws.
    std::string RefusedEngineRelease() const;
    void SetRefusedEngineRelease(const std::string& release);
    // Version of EnginePath's mscan64a.so ("6.1.0.1234"), or "Unknown".
    std::string GetEngineVersionText() const;

    // The machine's pass record (core/PassRecord.h), written under the
    // registry lock so that passes of several processes never share a
    // number. RecordPassStart returns the next number; with
    // close_interrupted (the caller holds the update pass lock, so no other
    // pass runs) a pass that a crash left without an end is given
    // kPassInterrupted first. RecordPassEnd records number's result unless a
    // later pass has ended already. Both throw ExceptionBase "Error saving
    // the pass record - ..." (UpdaterSettingsPassRecord.cpp).
    uint64_t RecordPassStart(bool close_interrupted);
    void RecordPassEnd(uint64_t number, const std::string& result);

    // The registry lock shared with the plug-in; nullptr when absent.
    NamedMutex* RegistryLock() const { return registry_lock_.get(); }

private:
    // Opens the product key for read, set-value and create-subkey access,
    // creating it when it cannot be opened (create_missing).
    RegistryKey OpenProductKey(bool create_missing) const;
    // Runs write while holding the registry lock the plug-in reads under;
    // throws ExceptionBase when the lock is absent or cannot be taken in
    // time.
    void UnderRegistryLock(const std::function<void()>& write) const;
    static bool ReadFolderValue(const char* name, std::string* path);
    void WriteValueQuietly(const char* name, const std::string& text);
    // Load and Refresh. REQUIRES: save_lock_ held.
    void ReadStore(bool keep_changed);
    // Sets field to value unless keep_changed and the field is changed.
    template <typename T>
    void Take(uint32_t bit, T& field, const T& value, bool keep_changed);
    // Marks bit changed when value differs. REQUIRES: value lock held.
    template <typename T>
    void Change(uint32_t bit, T& field, const T& value);

    std::shared_ptr<NamedMutex> registry_lock_;
    std::mutex save_lock_;  // serializes Load, Refresh and Save
    uint32_t changed_ = 0;  // GUARDED_BY(value lock): the fields set and not yet saved
    std::string dat_folder_;
    int64_t next_check_time_ = 0;
    int64_t last_check_time_ = 0;
    std::string last_check_result_;
    int64_t last_update_time_ = 0;
    std::string dat_path_;
    int32_t dat_version_ = 0;
    int64_t update_interval_ = kMaxUpdateInterval;
    int64_t update_splay_ = 0;
    int64_t splay_offset_ = 0;  // of update_splay_ for this machine
    int32_t dat_source_type_ = Internet;
    int32_t engine_source_type_ = Internet;
    SourceSettings dat_source_{kDefaultDatSite};
    SourceSettings engine_source_{kDefaultEngineSite};
};

}  // namespace TesselSoftware
