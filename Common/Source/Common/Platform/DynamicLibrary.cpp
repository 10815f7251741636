#include "Common/Platform/DynamicLibrary.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Common/Errors/Win32Error.h"

namespace TesselSoftware {

DynamicLibrary::DynamicLibrary(const std::string& path) {
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* reason = ::dlerror();
        error_ = reason ? reason : "cannot load " + path;
        error_code_ = ClassifyLoadFailure(path);
    }
}

uint32_t DynamicLibrary::ClassifyLoadFailure(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? Win32::kModNotFound : ErrnoToWin32(errno);
    char magic[4] = {};
    const bool elf = ::read(fd, magic, sizeof magic) == sizeof magic && std::memcmp(magic, "\x7f" "ELF", 4) == 0;
    ::close(fd);
    // An ELF file the loader still refuses is for another machine or
    // damaged, unless what it lacks is a library it depends on.
    if (!elf) return Win32::kBadExeFormat;
    return error_.find("cannot open shared object file") != std::string::npos ? Win32::kModNotFound
                                                                               : Win32::kBadExeFormat;
}

DynamicLibrary::~DynamicLibrary() {
    if (handle_ != nullptr) ::dlclose(handle_);
}

void* DynamicLibrary::Symbol(const char* name) const {
    return handle_ != nullptr ? ::dlsym(handle_, name) : nullptr;
}

}  // namespace TesselSoftware
