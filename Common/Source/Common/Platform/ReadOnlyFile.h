// A file opened read-only for the object's lifetime.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace TesselSoftware {

class ReadOnlyFile {
public:
    explicit ReadOnlyFile(const std::string& path);
    ~ReadOnlyFile();
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // The file's size, or 0 when it cannot be read.
    uint64_t size() const;
    // Reads exactly length bytes at offset; false when the file is shorter.
    bool ReadAt(uint64_t offset, void* out, size_t length) const;

private:
    int fd_;
};

}  // namespace TesselSoftware
