// The engine shared by every scanner object of the process: one loaded
// engine library, one engine handle, the counts of initialised objects and
// running scans, the due times of the definition checks, and the locks.
//
// Lock order: update-check lock, then engine lock, then the machine-wide
// registry lock (held only around registry reads). Engine start, reload and
// the final close run under the engine lock; a scan counts itself active
// under it, so holding it keeps new scans from starting.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Common/Engine/EngineContract.h"
#include "TSVexor/Scanner.h"

namespace TesselSoftware {

class DynamicLibrary;

inline constexpr int64_t kDatCheckInterval = 60;
inline constexpr int64_t kEngineCheckInterval = 15;

struct DatValues {
    std::string path;      // DATPath ("" when missing)
    uint32_t version = 0;  // DATVersion (0 when missing)
};

struct EngineValues {
    std::string folder;  // EnginePath
    std::string hash;    // EngineHash
};

class EngineState {
public:
    static EngineState& Instance();

    EngineState(const EngineState&) = delete;
    EngineState& operator=(const EngineState&) = delete;

    // Registry reads, each under the registry lock (without it when the
    // wait fails). Missing or unreadable values read as empty / 0.
    DatValues ReadDatValues();
    EngineValues ReadEngineValues();
    // False when the registry lock could not be created at load time.

    // Starts the engine from the registry's current values: 0 started,
    // 1 no DAT files, -1 failed, with the reason in *error.
    // REQUIRES: engine lock held.
    int StartEngine(IScannerLogger* logger, ScannerText* error);
    // Waits for running scans, then stops and unloads the engine.
    // REQUIRES: engine lock held.
    void StopEngine(IScannerLogger* logger);
    // Waits for running scans, then closes and unloads the engine, under
    // the engine lock; what the library's unloading does.
    // REQUIRES: engine lock not held by this thread.
    void Shutdown();
    // The definition check run before a scan when a check is due; false
    // when the scan must fail (the reason is in *message).
    bool CheckDefinitions(bool dat_due, bool engine_due, IScannerLogger* logger,
                          ScannerText* message);

    std::mutex& engine_lock() { return engine_lock_; }
    std::atomic<int32_t>& initialised_objects() { return initialised_objects_; }
    std::atomic<int32_t>& active_scans() { return active_scans_; }
    uint64_t handle() const { return handle_.load(); }
    AVScanObjectFn scan_function() const { return scan_.load(); }
    int64_t next_dat_check() const { return next_dat_check_.load(); }
    int64_t next_engine_check() const { return next_engine_check_.load(); }
    void ScheduleChecks(int64_t now);
    int64_t dat_date() const { return dat_date_.load(); }
    // REQUIRES: engine lock held (the texts change with each start).
    std::string engine_version_text() const { return engine_version_text_; }
    std::string dat_version_text() const { return dat_version_text_; }

    // Seconds since 1970; replaceable so tests need not wait for due times.
    int64_t Now() const;
    void SetClockForTesting(std::function<int64_t()> clock);
    // Pause between polls of a reload (250 ms); tests may shorten it.
    void SetPollPauseForTesting(int milliseconds) { poll_pause_ms_ = milliseconds; }

private:
    EngineState();
    ~EngineState();
    // False with a Win32 number and the loader's reason when the library
    // cannot be loaded or lacks an entry point.
    bool LoadLibrary(const std::string& folder, uint32_t* code, std::string* reason);
    void UnloadLibrary();
    // Closes handle with up to ten AVClose calls; the last status.
    uint16_t CloseHandle(uint64_t handle);

    std::mutex engine_lock_;
    std::mutex update_check_lock_;

    std::unique_ptr<DynamicLibrary> library_;    // GUARDED_BY(engine_lock_)
    std::atomic<AVInitialiseFn> initialise_{nullptr};
    std::atomic<AVScanObjectFn> scan_{nullptr};
    std::atomic<AVCloseFn> close_{nullptr};
    std::atomic<uint64_t> handle_{0};
    std::atomic<int32_t> initialised_objects_{0};
    std::atomic<int32_t> active_scans_{0};
    std::atomic<int64_t> next_dat_check_{0};
    std::atomic<int64_t> next_engine_check_{0};
    std::atomic<uint32_t> loaded_dat_version_{0};
    std::atomic<int64_t> dat_date_{0};
    std::string engine_version_text_;            // GUARDED_BY(engine_lock_)
    std::string dat_version_text_;               // GUARDED_BY(engine_lock_)
    std::string cached_engine_folder_;           // GUARDED_BY(engine_lock_)
    std::string cached_engine_hash_;             // GUARDED_BY(engine_lock_)

    mutable std::mutex clock_mutex_;
    std::function<int64_t()> clock_;             // GUARDED_BY(clock_mutex_)
    std::atomic<bool> clock_replaced_{false};    // the wall clock needs no lock
    std::atomic<int> poll_pause_ms_{250};
};

// The plug-in's engine callback: records the messages of one scan in the
// ScanState whose address the scan passed with tag 101.
uint32_t EngineCallback(const EngineCallbackContext* context, uint16_t message, uint64_t reserved,
                        uint64_t parameter);

}  // namespace TesselSoftware
