#include "dat/DurableFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace TesselSoftware {

namespace fs = std::filesystem;

namespace {

void SyncPath(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

void SyncFolder(const std::string& folder) { SyncPath(folder, O_RDONLY | O_DIRECTORY); }

void SyncFolderTree(const std::string& folder) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        const fs::file_status status = it->symlink_status(error);
        if (fs::is_regular_file(status)) SyncPath(it->path().string(), O_RDONLY);
        if (fs::is_directory(status)) SyncFolder(it->path().string());
    }
    SyncFolder(folder);
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
