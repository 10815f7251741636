// A machine-wide named mutex, shared by every process that opens the same
// name: the service (as root) and the gateway's plug-in (as another account)
// both use "/vexorft/registrylock".
//
//   auto lock = NamedMutex::Open("/vexorft/registrylock", &error);
//   if (lock) { NamedMutex::Guard guard(*lock); ... }
//
// Backed by a lock file in the lock directory (mode 0666, whoever creates
// it) locked with open-file-description locks, so the kernel releases it
// when its owner dies; the next waiter then simply acquires it. Waits have
// no time-out. Recursive for the owning thread; all objects of one name in
// a process share one lock. Safe for concurrent use.
#pragma once

#include <cstdint>
#include <memory>
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
    void Unlock();
    // The lock file's path.
    const std::string& path() const;

    class Guard {
    public:
        explicit Guard(NamedMutex& mutex) : mutex_(mutex), locked_(mutex.Lock()) {}
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
    explicit NamedMutex(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    std::shared_ptr<Shared> shared_;
};

// The lock that guards DATPath and DATVersion between service and plug-in.
inline constexpr char kRegistryLockName[] = "/vexorft/registrylock";

}  // namespace TesselSoftware
