// CThreadStorage: one record per thread, created on first use, in a map
// guarded by a lock. A thread reaches only its own record; the record stays
// put until the thread erases it. Safe for concurrent use.
#pragma once

#include <map>
#include <mutex>
#include <thread>

namespace TesselSoftware::RPCClient {

template <typename Record>
class CThreadStorage {
public:
    Record& Current() {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_[std::this_thread::get_id()];
    }
    void EraseCurrent() {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.erase(std::this_thread::get_id());
    }

private:
    std::mutex mutex_;
    std::map<std::thread::id, Record> records_;  // GUARDED_BY(mutex_); nodes never move
};

}  // namespace TesselSoftware::RPCClient
