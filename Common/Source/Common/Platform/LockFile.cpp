#include "Common/Platform/LockFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "Common/Errors/Win32Error.h"
#include "Common/Platform/SystemGroups.h"

namespace TesselSoftware {

namespace {

// Gives a file this process owns the mode and group of access.
void Narrow(int fd, const struct stat& st, const LockFileAccess& access,
            const std::optional<gid_t>& group) {
    if ((st.st_mode & 07777) != access.mode) ::fchmod(fd, access.mode);
    if (group && st.st_gid != *group && ::fchown(fd, static_cast<uid_t>(-1), *group) != 0) {
        // Not fatal: the owner can still lock it; members need the group.
    }
}

// A lock file that an account outside the system created: neither root's,
// nor this account's, nor owned by the system's group without world write.
bool Foreign(const struct stat& st, const std::optional<gid_t>& group) {
    if (st.st_uid == 0 || st.st_uid == ::geteuid()) return false;
    return !(group && st.st_gid == *group && !(st.st_mode & S_IWOTH));
}

}  // namespace

int OpenSharedLockFile(const std::string& path, const LockFileAccess& access, uint32_t* error) {
    const std::optional<gid_t> group = GroupId(access.group);
    // Another process may create or remove the file between our two opens;
    // a few rounds settle it.
    int last_errno = 0;
    for (int round = 0; round < 8; ++round) {
        int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd >= 0) {
            struct stat st {};
            if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
                last_errno = S_ISREG(st.st_mode) ? errno : EINVAL;
                ::close(fd);
                break;
            }
            if (st.st_uid == ::geteuid()) {
                Narrow(fd, st, access, group);
            } else if (::geteuid() == 0 && Foreign(st, group)) {
                // Planted by an outside account to lock us out: root may
                // remove it from the sticky folder and make its own.
                ::close(fd);
                ::unlink(path.c_str());
                continue;
            }
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            *error = Win32::kSuccess;
            return fd;
        }
        last_errno = errno;
        if (last_errno != ENOENT) break;
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, access.mode);
        if (fd >= 0) {
            struct stat st {};
            ::fstat(fd, &st);
            // The umask may have narrowed the mode further than asked.
            Narrow(fd, st, access, group);
            *error = Win32::kSuccess;
            return fd;
        }
        last_errno = errno;
        if (last_errno != EEXIST) break;
    }
    *error = ErrnoToWin32(last_errno);
    return -1;
}

std::unique_ptr<ExclusiveLockFile> ExclusiveLockFile::TryAcquireAt(const std::string& path,
                                                                   uint32_t* error) {
    const int fd = OpenSharedLockFile(path, kPrivateLockFile, error);
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
