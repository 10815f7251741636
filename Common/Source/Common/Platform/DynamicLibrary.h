// A shared library loaded by full path for the duration of the object:
// dlopen(RTLD_NOW | RTLD_LOCAL) on construction, dlclose on destruction.
#pragma once

#include <cstdint>
#include <string>

namespace TesselSoftware {

class DynamicLibrary {
public:
    explicit DynamicLibrary(const std::string& path);
    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    bool IsLoaded() const { return handle_ != nullptr; }
    // The loader's reason when loading failed.
    const std::string& Error() const { return error_; }
    // Why loading failed, as a Win32 number: 126 (module not found: no such
    // file, or a library it needs is missing), 193 (not a loadable ELF file
    // for this machine), or the file's own error (5 access denied, ...).
    uint32_t ErrorCode() const { return error_code_; }
    // The exported symbol, or nullptr.
    void* Symbol(const char* name) const;
    template <typename Fn>
    Fn Function(const char* name) const {
        return reinterpret_cast<Fn>(Symbol(name));
    }

private:
    uint32_t ClassifyLoadFailure(const std::string& path);

    void* handle_ = nullptr;
    std::string error_;
    uint32_t error_code_ = 0;
};

}  // namespace TesselSoftware
