#include "HandleTable.h"

#include "Common/Engine/EngineContract.h"

namespace VexorEngine {

namespace {

// Handles look unlike small numbers or pointers, so a stale or made-up value
// is unlikely to name an engine by chance.
constexpr uint64_t kHandleBase = 0x56584E0000000000ull;

}  // namespace

HandleTable& HandleTable::Instance() {
    static HandleTable table;
    return table;
}

uint64_t HandleTable::Add(std::unique_ptr<Engine> engine) {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t handle = kHandleBase | next_++;
    engines_.emplace(handle, std::shared_ptr<Engine>(std::move(engine)));
    return handle;
}

std::shared_ptr<Engine> HandleTable::BeginScan(uint64_t handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = engines_.find(handle);
    if (found == engines_.end()) {
        return nullptr;
    }
    found->second->active_scans.fetch_add(1);
    return found->second;
}

uint16_t HandleTable::Close(uint64_t handle) {
    std::shared_ptr<Engine> released;  // destroyed after the lock is left
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = engines_.find(handle);
    if (found == engines_.end()) {
        return kEngineStatusBadHandle;
    }
    if (found->second->active_scans.load() != 0) {
        return kEngineStatusBusy;
    }
    released = std::move(found->second);
    engines_.erase(found);
    return kEngineStatusOk;
}

}  // namespace VexorEngine
