#include "Common/Files/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace TesselSoftware {

std::string WriteFileAtomically(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp." + std::to_string(::getpid());
    const int file = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (file < 0) return "cannot create " + temporary + ": " + std::strerror(errno);
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(file, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    const int write_error = written == text.size() ? 0 : errno;
    const bool synced = write_error == 0 && ::fsync(file) == 0;
    const int sync_error = errno;
    ::close(file);
    if (!synced || ::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = write_error != 0 ? write_error : (!synced ? sync_error : errno);
        ::unlink(temporary.c_str());
        return "cannot write " + path + ": " + std::strerror(error);
    }
    return {};
}

}  // namespace TesselSoftware
