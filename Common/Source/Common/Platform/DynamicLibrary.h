// A shared library loaded by full path for the duration of the object:
// dlopen(RTLD_NOW | RTLD_LOCAL) on construction, dlclose on destruction.
#pragma once

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
    // The exported symbol, or nullptr.
    void* Symbol(const char* name) const;
    template <typename Fn>
    Fn Function(const char* name) const {
        return reinterpret_cast<Fn>(Symbol(name));
    }

private:
    void* handle_ = nullptr;
    std::string error_;
};

}  // namespace TesselSoftware
