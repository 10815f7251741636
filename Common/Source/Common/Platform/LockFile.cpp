#include "Common/Platform/LockFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Common/Errors/Win32Error.h"
#include "Common/Files/FileSystemUtils.h"
#include "Common/Platform/MachineLayout.h"

namespace TesselSoftware {

int OpenSharedLockFile(const std::string& path, uint32_t* error) {
    // Another process may create or remove the file between our two opens;
    // a few rounds settle it.
    int last_errno = 0;
    for (int round = 0; round < 8; ++round) {
        int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0) {
            *error = Win32::kSuccess;
            return fd;
        }
        last_errno = errno;
        if (last_errno != ENOENT) break;
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd >= 0) {
            // The umask narrows the mode; every account must be able to lock it.
            ::fchmod(fd, 0666);
            *error = Win32::kSuccess;
            return fd;
        }
        last_errno = errno;
        if (last_errno != EEXIST) break;
    }
    *error = ErrnoToWin32(last_errno);
    return -1;
}

std::unique_ptr<ExclusiveLockFile> ExclusiveLockFile::TryAcquire(const std::string& file_name,
                                                                 uint32_t* error) {
    EnsureDirectory(MachineLayout::LockDirectory(), true);
    return TryAcquireAt(MachineLayout::LockDirectory() + "/" + file_name, error);
}

std::unique_ptr<ExclusiveLockFile> ExclusiveLockFile::TryAcquireAt(const std::string& path,
                                                                   uint32_t* error) {
    const int fd = OpenSharedLockFile(path, error);
    if (fd < 0) return nullptr;
    struct flock request {};
    request.l_type = F_WRLCK;
    request.l_whence = SEEK_SET;
    int rc;
    do {
        rc = ::fcntl(fd, F_OFD_SETLK, &request);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        *error = (errno == EAGAIN || errno == EACCES) ? Win32::kBusy : ErrnoToWin32(errno);
        ::close(fd);
        return nullptr;
    }
    *error = Win32::kSuccess;
    return std::unique_ptr<ExclusiveLockFile>(new ExclusiveLockFile(path, fd));
}

ExclusiveLockFile::~ExclusiveLockFile() { ::close(fd_); }

}  // namespace TesselSoftware
