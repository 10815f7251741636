#include "Common/Platform/NamedMutex.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
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

int FileLock(int fd, short type) {
    struct flock request {};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    request.l_start = 0;
    request.l_len = 0;
    int rc;
    do {
        rc = ::fcntl(fd, F_OFD_SETLKW, &request);
    } while (rc != 0 && errno == EINTR);
    return rc;
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
    const int fd = OpenSharedLockFile(path, &open_error);
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

bool NamedMutex::Lock() {
    Shared& s = *shared_;
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock lock(s.mutex);
    if (s.depth > 0 && s.owner == self) {
        ++s.depth;
        return true;
    }
    s.released.wait(lock, [&] { return s.depth == 0; });
    s.owner = self;
    s.depth = 1;
    lock.unlock();
    // This thread now owns the lock within the process; take it between
    // processes. Other threads of the process wait on the condition above.
    if (FileLock(s.fd, F_WRLCK) != 0) {
        SetLastErrorFromErrno();
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
    FileLock(s.fd, F_UNLCK);
    s.owner = {};
    s.released.notify_one();
}

}  // namespace TesselSoftware
