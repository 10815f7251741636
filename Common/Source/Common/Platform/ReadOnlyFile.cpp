#include "Common/Platform/ReadOnlyFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TesselSoftware {

ReadOnlyFile::ReadOnlyFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}

ReadOnlyFile::~ReadOnlyFile() {
    if (fd_ >= 0) ::close(fd_);
}

uint64_t ReadOnlyFile::size() const {
    struct stat info;
    return fd_ >= 0 && ::fstat(fd_, &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

bool ReadOnlyFile::ReadAt(uint64_t offset, void* out, size_t length) const {
    size_t done = 0;
    while (done < length) {
        const ssize_t got = ::pread(fd_, static_cast<char*>(out) + done, length - done,
                                    static_cast<off_t>(offset + done));
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

}  // namespace TesselSoftware
