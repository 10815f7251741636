// A recursive lock that classes hold as a member or derive from ("the
// settings object is itself a lock"). Meets BasicLockable, so
// std::lock_guard and std::unique_lock work on it.
#pragma once

#include <mutex>

namespace TesselSoftware {

class RecursiveLock {
public:
    RecursiveLock() = default;
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;

    void lock() const { mutex_.lock(); }
    void unlock() const { mutex_.unlock(); }
    bool try_lock() const { return mutex_.try_lock(); }

private:
    // Locking does not change the guarded object's value, so const objects
    // can be locked by their readers.
    mutable std::recursive_mutex mutex_;
};

// Scope guard for a RecursiveLock (or anything BasicLockable).
using LockGuard = std::lock_guard<const RecursiveLock>;

}  // namespace TesselSoftware
