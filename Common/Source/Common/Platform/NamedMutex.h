// A machine-wide named mutex, shared by every process that opens the same
// name: the settings store's writers (all of them root: the service, -once
// and the tools) use "/vexorft/registrylock". Readers take no lock: they
// read the values that belong together in one read transaction.
//
//   auto lock = NamedMutex::Open("/vexorft/registrylock", &error);
//   if (lock) { NamedMutex::Guard guard(*lock); ... }
//
// Backed by a lock file in the lock directory (mode 0600: only its creator's
// account can open it, so no other account can hold it) locked with open-file-description locks, so the kernel releases
// it when its owner dies; the next waiter then simply acquires it. Lock
// waits for ever; LockFor gives up after a time-out, so a holder that never
// lets go cannot freeze a writer. Recursive for the owning thread; all
// objects of one name in a process share one lock. Safe for concurrent use.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace TesselSoftware {

class NamedMutex {
public:
    // Opens or creates the named lock. Returns nullptr and a Win32 number in
    // *error when the lock file cannot be created or opened.
    static std::shared_ptr<NamedMutex> Open(const std::string& name, uint32_t* error);

    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;
    ~NamedMutex();

    // Blocks until this thread owns the lock. False only when the kernel
    // refused the file lock (the error is the thread's last error).
    bool Lock();
    // Like Lock, but gives up after timeout: false with the thread's last
    // error Win32 kTimeout (1460).
    bool LockFor(std::chrono::milliseconds timeout);
    void Unlock();
    // The lock file's path.
    const std::string& path() const;

    class Guard {
    public:
        explicit Guard(NamedMutex& mutex) : mutex_(mutex), locked_(mutex.Lock()) {}
        Guard(NamedMutex& mutex, std::chrono::milliseconds timeout)
            : mutex_(mutex), locked_(mutex.LockFor(timeout)) {}
        ~Guard() {
            if (locked_) mutex_.Unlock();
        }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        bool locked() const { return locked_; }

    private:
        NamedMutex& mutex_;
        const bool locked_;
    };

    struct Shared;  // the per-name state every object of the name uses

private:
    // Lock and LockFor; no deadline waits for ever.
    bool LockUntil(const std::optional<std::chrono::steady_clock::time_point>& deadline);
    explicit NamedMutex(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    std::shared_ptr<Shared> shared_;
};

// The lock that guards DATPath and DATVersion between service and plug-in.
inline constexpr char kRegistryLockName[] = "/vexorft/registrylock";

}  // namespace TesselSoftware
