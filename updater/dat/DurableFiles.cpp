#include "dat/DurableFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "Common/Errors/Win32Error.h"

namespace TesselSoftware {

namespace fs = std::filesystem;

namespace {

DurableFileCalls g_calls{&::fsync, &::renameat2};

uint32_t SyncPath(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return ErrnoToWin32(errno);
    const uint32_t result = g_calls.fsync(fd) == 0 ? Win32::kSuccess : ErrnoToWin32(errno);
    ::close(fd);
    return result;
}

}  // namespace

DurableFileCalls& DurableFileCallsForTesting() { return g_calls; }

uint32_t SyncFile(const std::string& path) { return SyncPath(path, O_RDONLY); }

uint32_t SyncFolder(const std::string& folder) { return SyncPath(folder, O_RDONLY | O_DIRECTORY); }

uint32_t MakeDurableFolder(const std::string& folder) {
    if (::mkdir(folder.c_str(), 0755) != 0) return errno == EEXIST ? Win32::kSuccess : ErrnoToWin32(errno);
    std::string parent = folder;
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    parent = fs::path(parent).parent_path().string();
    return SyncFolder(parent.empty() ? "." : parent);
}

uint32_t SyncFolderTree(const std::string& folder, std::string* failed) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; it != end; it.increment(error)) {
        if (error) break;
        const fs::file_status status = it->symlink_status(error);
        uint32_t result = Win32::kSuccess;
        if (fs::is_regular_file(status)) result = SyncFile(it->path().string());
        if (fs::is_directory(status)) result = SyncFolder(it->path().string());
        if (result != Win32::kSuccess) {
            *failed = it->path().string();
            return result;
        }
    }
    if (error) {
        *failed = folder;
        return ErrnoToWin32(error.value());
    }
    const uint32_t result = SyncFolder(folder);
    if (result != Win32::kSuccess) *failed = folder;
    return result;
}

uint32_t RenameNoReplace(const std::string& from, const std::string& to) {
    if (g_calls.renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return Win32::kSuccess;
    }
    if (errno != EINVAL && errno != ENOSYS) return ErrnoToWin32(errno);
    // No RENAME_NOREPLACE here. A plain rename would replace an existing
    // file, or an empty folder, of that name: look first.
    struct stat info;
    if (::lstat(to.c_str(), &info) == 0) return Win32::kAlreadyExists;
    if (errno != ENOENT) return ErrnoToWin32(errno);
    return std::rename(from.c_str(), to.c_str()) == 0 ? Win32::kSuccess : ErrnoToWin32(errno);
}

std::string FindSpecialEntry(const std::string& folder) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; it != end; it.increment(error)) {
        if (error) return folder;  // a tree that cannot be walked is not trusted
        const fs::file_status status = it->symlink_status(error);
        if (error || !(fs::is_regular_file(status) || fs::is_directory(status))) {
            return it->path().string();
        }
    }
    return error ? folder : std::string();
}

}  // namespace TesselSoftware
