// The engines started in this process, by handle. Safe for concurrent use.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "Engine.h"

namespace VexorEngine {

class HandleTable {
  public:
    static HandleTable& Instance();

    // Takes ownership and returns the new, non-zero handle.
    uint64_t Add(std::unique_ptr<Engine> engine);
    // The engine of handle with one more running scan, or null for an unknown
    // handle. The count is taken under the table's lock, so Close never
    // releases an engine between the look-up and the count.
    std::shared_ptr<Engine> BeginScan(uint64_t handle);
    static void EndScan(Engine& engine) { engine.active_scans.fetch_sub(1); }
    // kEngineStatusOk once released, kEngineStatusBusy while scans run,
    // kEngineStatusBadHandle for an unknown handle.
    uint16_t Close(uint64_t handle);

  private:
    std::mutex mutex_;
    std::unordered_map<uint64_t, std::shared_ptr<Engine>> engines_;  // guarded by mutex_
    uint64_t next_ = 1;                                              // guarded by mutex_
};

// Counts one scan for its lifetime.
class ScanTicket {
  public:
    explicit ScanTicket(uint64_t handle) : engine_(HandleTable::Instance().BeginScan(handle)) {}
    ~ScanTicket() {
        if (engine_) {
            HandleTable::EndScan(*engine_);
        }
    }
    ScanTicket(const ScanTicket&) = delete;
    ScanTicket& operator=(const ScanTicket&) = delete;

    Engine* get() const { return engine_.get(); }

  private:
    std::shared_ptr<Engine> engine_;
};

}  // namespace VexorEngine
