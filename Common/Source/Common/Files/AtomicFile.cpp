#include "Common/Files/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace TesselSoftware {

namespace {

// Closes a descriptor when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

std::string Why(const std::string& what, int error) { return what + ": " + std::strerror(error); }

bool WriteAll(int fd, const std::string& text) {
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<size_t>(n);
    }
    return true;
}

// A new temporary beside name, created exclusively: never a file, link or
// FIFO someone planted under the name we would pick.
int CreateTemporary(int folder, const std::string& name, std::string* temporary) {
    std::random_device random;
    for (int attempt = 0; attempt < 8; ++attempt) {
        *temporary = "." + name + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(random() % 1000000);
        const int fd = ::openat(folder, temporary->c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

std::string WriteFileAtomically(const std::string& path, const std::string& text) {
    const size_t slash = path.rfind('/');
    const std::string folder_path = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return "cannot write " + path + ": not a file name";
    // The folder is opened once, not through a link at its last component,
    // and everything below happens in that folder: a link swapped in later
    // cannot send the file elsewhere.
    const Descriptor folder(::open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.get() < 0) {
        return Why("cannot write " + path + ": the folder " + folder_path + " cannot be opened (a link is not taken)",
                   errno);
    }
    struct stat owner {};
    if (::fstat(folder.get(), &owner) != 0) return Why("cannot write " + path, errno);
    if (owner.st_uid != 0 && owner.st_uid != ::geteuid()) {
        return "cannot write " + path + ": the folder " + folder_path +
               " belongs to another account, which could redirect the file";
    }
    struct stat target {};
    if (::fstatat(folder.get(), name.c_str(), &target, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(target.st_mode)) {
        return "cannot write " + path + ": it is not a regular file";
    }
    std::string temporary;
    Descriptor file(CreateTemporary(folder.get(), name, &temporary));
    if (file.get() < 0) return Why("cannot create a temporary file beside " + path, errno);
    int error = 0;
    if (!WriteAll(file.get(), text)) error = errno != 0 ? errno : EIO;
    if (error == 0 && ::fsync(file.get()) != 0) error = errno;
    if (::close(file.release()) != 0 && error == 0) error = errno;
    // The rename publishes only what is on disk, and the folder's own sync
    // keeps the new name through a power cut.
    if (error == 0 && ::renameat(folder.get(), temporary.c_str(), folder.get(), name.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlinkat(folder.get(), temporary.c_str(), 0);
        return Why("cannot write " + path, error);
    }
    if (::fsync(folder.get()) != 0) return Why("cannot write " + path + ": the folder cannot be flushed", errno);
    return {};
}

}  // namespace TesselSoftware
