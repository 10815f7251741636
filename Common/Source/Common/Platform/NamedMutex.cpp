#include "Common/Platform/NamedMutex.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "Common/Errors/Win32Error.h"
#include "Common/Files/FileSystemUtils.h"
#include "Common/Platform/LockFile.h"
#include "Common/Platform/MachineLayout.h"

namespace TesselSoftware {

struct NamedMutex::Shared {
    std::string path;
    int fd = -1;
    std::mutex mutex;
    std::condition_variable released;
    std::thread::id owner;  // GUARDED_BY(mutex)
    int depth = 0;          // GUARDED_BY(mutex)

    ~Shared() {
        if (fd >= 0) ::close(fd);
    }
};

namespace {

// "/vexorft/registrylock" -> "<lock dir>/vexorft.registrylock"
std::string LockFilePath(const std::string& name) {
    std::string flat;
    for (char c : name) {
        if (c == '/' || c == '\\') {
            if (!flat.empty()) flat += '.';
        } else {
            flat += c;
        }
    }
    return MachineLayout::LockDirectory() + "/" + flat;
}

int FileLock(int fd, short type, bool wait) {
    struct flock request {};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    request.l_start = 0;
    request.l_len = 0;
    int rc;
    do {
        rc = ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &request);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

// Takes the file lock, polling until deadline (none: waits for ever). False
// with errno ETIMEDOUT when the deadline passed.
bool FileLockUntil(int fd, const std::optional<std::chrono::steady_clock::time_point>& deadline) {
    if (!deadline) return FileLock(fd, F_WRLCK, true) == 0;
    for (;;) {
        if (FileLock(fd, F_WRLCK, false) == 0) return true;
        if (errno != EAGAIN && errno != EACCES) return false;
        if (std::chrono::steady_clock::now() >= *deadline) {
            errno = ETIMEDOUT;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

std::shared_ptr<NamedMutex> NamedMutex::Open(const std::string& name, uint32_t* error) {
    static std::mutex registry_mutex;
    static std::map<std::string, std::weak_ptr<Shared>> registry;

    const std::string path = LockFilePath(name);
    std::lock_guard lock(registry_mutex);
    if (auto shared = registry[path].lock()) return std::shared_ptr<NamedMutex>(new NamedMutex(shared));

    EnsureDirectory(MachineLayout::LockDirectory(), true);
    uint32_t open_error = 0;
    const int fd = OpenSharedLockFile(path, kPrivateLockFile, &open_error);
    if (fd < 0) {
        if (error) *error = open_error;
        return nullptr;
    }
    auto shared = std::make_shared<Shared>();
    shared->path = path;
    shared->fd = fd;
    registry[path] = shared;
    if (error) *error = Win32::kSuccess;
    return std::shared_ptr<NamedMutex>(new NamedMutex(shared));
}

NamedMutex::~NamedMutex() = default;

const std::string& NamedMutex::path() const { return shared_->path; }

bool NamedMutex::Lock() { return LockUntil(std::nullopt); }

bool NamedMutex::LockFor(std::chrono::milliseconds timeout) {
    return LockUntil(std::chrono::steady_clock::now() + timeout);
}

bool NamedMutex::LockUntil(const std::optional<std::chrono::steady_clock::time_point>& deadline) {
    Shared& s = *shared_;
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock lock(s.mutex);
    if (s.depth > 0 && s.owner == self) {
        ++s.depth;
        return true;
    }
    const auto free = [&] { return s.depth == 0; };
    if (!deadline) {
        s.released.wait(lock, free);
    } else if (!s.released.wait_until(lock, *deadline, free)) {
        SetLastError(Win32::kTimeout);
        return false;
    }
    s.owner = self;
    s.depth = 1;
    lock.unlock();
    // This thread now owns the lock within the process; take it between
    // processes. Other threads of the process wait on the condition above.
    if (!FileLockUntil(s.fd, deadline)) {
        if (errno == ETIMEDOUT) {
            SetLastError(Win32::kTimeout);
        } else {
            SetLastErrorFromErrno();
        }
        lock.lock();
        s.depth = 0;
        s.owner = {};
        s.released.notify_one();
        return false;
    }
    return true;
}

void NamedMutex::Unlock() {
    Shared& s = *shared_;
    std::unique_lock lock(s.mutex);
    if (s.depth == 0 || s.owner != std::this_thread::get_id()) return;
    if (--s.depth > 0) return;
    FileLock(s.fd, F_UNLCK, true);
    s.owner = {};
    s.released.notify_one();
}

}  // namespace TesselSoftware
