// Lock files in the machine's lock directory, shared between accounts.
//
// The lock directory (/run/lock) is sticky and world-writable, and Debian
// sets fs.protected_regular=2: there an open with O_CREAT of a file that
// another account created fails with EACCES, root included. So a lock file
// is opened without O_CREAT when it exists and created only with O_EXCL.
//
//   uint32_t error = 0;
//   auto pass = ExclusiveLockFile::TryAcquire("vexor-update-pass.lock", &error);
//   if (!pass) ...  // kBusy: another process holds it
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace TesselSoftware {

// Opens path read-write, creating it (mode 0666 whoever creates it) when it
// does not exist. Returns the descriptor (close-on-exec), or -1 with a Win32
// number in *error.
int OpenSharedLockFile(const std::string& path, uint32_t* error);

// A lock on a file of the lock directory held by this object alone: taken
// with an open-file-description lock without waiting, released on
// destruction or when the process dies. Not recursive: a second TryAcquire
// of the same name fails even in the same process.
class ExclusiveLockFile {
public:
    // nullptr with *error = Win32 kBusy (170) when another holder has it, or
    // the number of the failure to open the file.
    static std::unique_ptr<ExclusiveLockFile> TryAcquire(const std::string& file_name,
                                                         uint32_t* error);
    // The same for a lock file at path, in a folder that exists.
    static std::unique_ptr<ExclusiveLockFile> TryAcquireAt(const std::string& path,
                                                           uint32_t* error);
    ~ExclusiveLockFile();
    ExclusiveLockFile(const ExclusiveLockFile&) = delete;
    ExclusiveLockFile& operator=(const ExclusiveLockFile&) = delete;

    const std::string& path() const { return path_; }

private:
    ExclusiveLockFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
    const std::string path_;
    const int fd_;
};

}  // namespace TesselSoftware
