// A counter changed atomically by several threads; the operations return the
// value after the change, as the original platform's interlocked calls do.
#pragma once

#include <atomic>
#include <cstdint>

namespace TesselSoftware {

class InterlockedCounter {
public:
    explicit InterlockedCounter(int64_t initial = 0) : value_(initial) {}
    InterlockedCounter(const InterlockedCounter&) = delete;
    InterlockedCounter& operator=(const InterlockedCounter&) = delete;

    int64_t Increment() { return value_.fetch_add(1, std::memory_order_acq_rel) + 1; }
    int64_t Decrement() { return value_.fetch_sub(1, std::memory_order_acq_rel) - 1; }
    int64_t Exchange(int64_t value) { return value_.exchange(value, std::memory_order_acq_rel); }
    int64_t Get() const { return value_.load(std::memory_order_acquire); }

private:
    std::atomic<int64_t> value_;
};

}  // namespace TesselSoftware
