// Lock files shared between the system's accounts.
//
// Only the system's accounts may open a lock file for writing (and so lock
// it): a file this module creates gets the mode and group its access names,
// never a world-writable mode. A lock file this process owns with another
// mode is narrowed when it is opened; root replaces one that an outside
// account planted.
//
// The lock directory (/run/lock) is sticky and world-writable, and Debian
// sets fs.protected_regular=2: there an open with O_CREAT of a file that
// another account created fails with EACCES, root included. So a lock file
// is opened without O_CREAT when it exists and created only with O_EXCL.
//
//   uint32_t error = 0;
//   auto pass = ExclusiveLockFile::TryAcquireAt(runtime + "/vexor-update-pass.lock", &error);
//   if (!pass) ...  // kBusy: another process holds it
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

namespace TesselSoftware {

// Who may open a lock file: its mode, and the group it belongs to when that
// group exists (nullptr: the creator's own group).
struct LockFileAccess {
    mode_t mode;
    const char* group;
};
// The creating account alone: every lock a writer of the system waits for
// (no reader may hold one and so stop the writers).
inline constexpr LockFileAccess kPrivateLockFile{0600, nullptr};

// Opens path read-write, creating it with access when it does not exist.
// Returns the descriptor (close-on-exec), or -1 with a Win32 number in
// *error.
int OpenSharedLockFile(const std::string& path, const LockFileAccess& access, uint32_t* error);

// A lock on a file held by this object alone: taken with an
// open-file-description lock without waiting, released on destruction or
// when the process dies. Not recursive: a second TryAcquireAt of the same
// path fails even in the same process. The file is private to its creator.
class ExclusiveLockFile {
public:
    // For a lock file at path, in a folder that exists. nullptr with
    // *error = Win32 kBusy (170) when another holder has it, or the number
    // of the failure to open the file.
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
