// Helpers shared by the project's test suites.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

#include "Common/Platform/RegistryStore.h"

namespace TesselSoftware::Testing {

// A fresh folder under $TMPDIR (or /tmp), deleted with its contents when the
// object goes out of scope.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + relative
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

// Polls condition every 5 ms until it holds (true) or limit passed (false).
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(20));

// Writes data to path (replacing it), creating missing parent folders.
void WriteFile(const std::string& path, const std::string& data);
// The whole content of path; fails the current test when unreadable.
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
// The names of folder's entries, sorted; empty when it cannot be read.
std::vector<std::string> SortedNames(const std::string& folder);

// Runs fn in a forked child process and returns what it wrote to the pipe
// descriptor it is given, with its exit status (or 128 + signal). When
// drop_to_nobody is set and the test runs as root, the child first becomes
// uid/gid 65534, so tests can see the system as an unprivileged account.
struct ChildResult {
    int status = -1;
    std::string output;
};
ChildResult RunInChild(const std::function<int(int out_fd)>& fn, bool drop_to_nobody);
inline constexpr unsigned kNobodyId = 65534;

// A program started with posix_spawn, its standard output read through a
// pipe. Killed with SIGKILL and reaped on destruction if still running.
class SpawnedProcess {
public:
    explicit SpawnedProcess(const std::vector<std::string>& argv);
    ~SpawnedProcess();
    SpawnedProcess(const SpawnedProcess&) = delete;
    SpawnedProcess& operator=(const SpawnedProcess&) = delete;

    int pid() const { return pid_; }
    // Reads one line of output (without "\n"); "" at the end of output.
    std::string ReadLine();
    void Kill(int signal);
    // Waits for the exit; returns the exit status or 128 + signal, and
    // stores the rest of the output in *output when given.
    int Wait(std::string* output = nullptr);

private:
    int pid_ = -1;
    int out_fd_ = -1;
    std::string buffered_;
};

// Sets an environment variable for the object's lifetime, then restores it.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    bool had_value_ = false;
    std::string old_value_;
};

// Writes value into a kernel setting (a /proc/sys file) for the object's
// lifetime, then restores the old value. applied() is false when the
// setting cannot be written (no root, read-only /proc/sys).
class ScopedSysctl {
public:
    ScopedSysctl(const std::string& path, const std::string& value);
    ~ScopedSysctl();
    ScopedSysctl(const ScopedSysctl&) = delete;
    ScopedSysctl& operator=(const ScopedSysctl&) = delete;
    bool applied() const { return applied_; }

private:
    std::string path_;
    std::string old_value_;
    bool applied_ = false;
};

// A registry store that passes every call to a real store, except queries of
// the values named in query_faults and writes of those named in
// write_faults (a batch holding one fails whole), which fail with the given
// Win32 number.
// Serve() makes it the store of the machine layout's registry path.
class FaultyRegistryStore : public RegistryStore {
public:
    explicit FaultyRegistryStore(std::shared_ptr<RegistryStore> inner);
    static std::shared_ptr<FaultyRegistryStore> Serve();

    // Value name -> the error its reads (or writes) fail with. Safe to
    // change while other threads use the store.
    class Faults {
    public:
        void Set(const std::string& name, uint32_t error) {
            std::lock_guard lock(mutex_);
            errors_[name] = error;
        }
        void Clear() {
            std::lock_guard lock(mutex_);
            errors_.clear();
        }
        // The error name fails with, or 0.
        uint32_t Find(const std::string& name) const {
            std::lock_guard lock(mutex_);
            const auto found = errors_.find(name);
            return found == errors_.end() ? 0 : found->second;
        }

    private:
        mutable std::mutex mutex_;
        std::map<std::string, uint32_t> errors_;  // GUARDED_BY(mutex_)
    };
    Faults query_faults;
    Faults write_faults;

    bool read_only() const override { return inner_->read_only(); }
    uint32_t OpenKey(const Key& parent, std::string_view sub_key, uint32_t access,
                     Key* out) override;
    uint32_t CreateKey(const Key& parent, std::string_view sub_key, uint32_t access, Key* out,
                       bool* created) override;
    uint32_t DeleteKey(const Key& parent, std::string_view sub_key) override;
    uint32_t QueryValue(const Key& key, std::string_view name, uint32_t* type, void* data,
                        uint32_t* size) override;
    uint32_t SetValue(const Key& key, std::string_view name, uint32_t type, const void* data,
                      uint32_t size) override;
    uint32_t DeleteValue(const Key& key, std::string_view name) override;
    uint32_t SetValues(const Key& key, const std::vector<ValueWrite>& values, size_t* failed,
                       ForReaders readers) override;
    uint32_t EnumKey(const Key& key, uint32_t index, std::string* name) override;
    uint32_t EnumValue(const Key& key, uint32_t index, std::string* name, uint32_t* type,
                       std::string* data) override;

private:
    Key Inner(const Key& key) const { return Key{inner_, key.id, key.access}; }
    uint32_t Outer(uint32_t rc, Key* out) {
        if (out != nullptr && out->store) out->store = shared_from_this();
        return rc;
    }
    const std::shared_ptr<RegistryStore> inner_;
};

}  // namespace TesselSoftware::Testing
