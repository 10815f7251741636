// Whole-file reading and atomic writing for DAT files and patches.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "vexor/DatFormat.h"

#include "UniqueFd.h"

namespace VexorEngine {

namespace {


bool Fail(std::string* error, const std::string& text) {
    if (error) {
        *error = text + ": " + std::strerror(errno);
    }
    return false;
}

}  // namespace

bool ReadFileBytes(const std::string& path, size_t max_size, std::string* out, std::string* error) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        return Fail(error, "cannot open " + path);
    }
    struct stat info;
    if (::fstat(fd.get(), &info) != 0) {
        return Fail(error, "cannot read " + path);
    }
    if (!S_ISREG(info.st_mode)) {
        errno = EINVAL;
        return Fail(error, path + " is not a regular file");
    }
    if (static_cast<uint64_t>(info.st_size) > max_size) {
        errno = EFBIG;
        return Fail(error, path + " is too large");
    }
    out->resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (done < out->size()) {
        const ssize_t got = ::read(fd.get(), out->data() + done, out->size() - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return Fail(error, "cannot read " + path);
        }
        if (got == 0) {
            break;  // shrank while reading: what was read is the content
        }
        done += static_cast<size_t>(got);
    }
    out->resize(done);
    return true;
}

bool WriteFileAtomically(const std::string& path, std::string_view data, std::string* error) {
    std::string temp = path + ".~XXXXXX";
    UniqueFd fd(::mkstemp(temp.data()));
    if (fd.get() < 0) {
        return Fail(error, "cannot create a file beside " + path);
    }
    size_t done = 0;
    bool ok = true;
    while (ok && done < data.size()) {
        const ssize_t put = ::write(fd.get(), data.data() + done, data.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        ok = put > 0;
        if (ok) {
            done += static_cast<size_t>(put);
        }
    }
    ok = ok && ::fchmod(fd.get(), 0644) == 0 && ::fsync(fd.get()) == 0;
    ok = fd.Close() && ok;
    if (ok && ::rename(temp.c_str(), path.c_str()) == 0) {
        return true;
    }
    const int saved = errno;
    ::unlink(temp.c_str());
    errno = saved;
    return Fail(error, "cannot write " + path);
}

bool WriteDatFiles(const std::string& folder, const DatFiles& files, std::string* error) {
    const std::string* contents[] = {&files.scan, &files.names, &files.clean, &files.extra};
    if (!folder.empty() && ::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        return Fail(error, "cannot create " + folder);
    }
    const std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    for (int i = 0; i < 4; ++i) {
        if (i == 3 && files.extra.empty()) {
            break;
        }
        if (!WriteFileAtomically(prefix + kDatFileNames[i], *contents[i], error)) {
            return false;
        }
    }
    return true;
}

}  // namespace VexorEngine
