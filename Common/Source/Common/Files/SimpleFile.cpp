#include "Common/Files/SimpleFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "Common/Errors/ErrorText.h"
#include "Common/Errors/Win32Error.h"

namespace TesselSoftware {

namespace {

int OpenFlags(uint32_t access, uint32_t disposition) {
    int flags = O_CLOEXEC;
    const bool read = access & CSimpleFile::kGenericRead;
    const bool write = access & CSimpleFile::kGenericWrite;
    flags |= (read && write) ? O_RDWR : write ? O_WRONLY : O_RDONLY;
    switch (disposition) {
        case CSimpleFile::kCreateNew: flags |= O_CREAT | O_EXCL; break;
        case CSimpleFile::kCreateAlways: flags |= O_CREAT | O_TRUNC; break;
        case CSimpleFile::kOpenAlways: flags |= O_CREAT; break;
        case CSimpleFile::kTruncateExisting: flags |= O_TRUNC; break;
        default: break;  // kOpenExisting
    }
    return flags;
}

int64_t NowSeconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(steady_clock::now().time_since_epoch()).count();
}

[[noreturn]] void ThrowLastErrno(const char* prefix) {
    throw CSimpleFileEx(SetLastErrorFromErrno(), prefix);
}

}  // namespace

CSimpleFileEx::CSimpleFileEx(uint32_t code, const std::string& prefix)
    : ExceptionBase(static_cast<int32_t>(code), prefix + FormatErrorText(code, kErrorTextAuto)) {}

CSimpleFile::CSimpleFile(Handle handle, bool owns) { Attach(handle, owns); }

CSimpleFile::CSimpleFile(const std::string& name) {
    if (!Open(name, kGenericRead, kShareRead, kOpenExisting, 0)) {
        const uint32_t code = GetLastError();
        throw CSimpleFileEx(code, "CSimpleFile: " + name + " - ");
    }
}

CSimpleFile::~CSimpleFile() {
    if (owns_ && handle_ != kInvalidHandle) ::close(handle_);
}

bool CSimpleFile::Create(const std::string& name, uint32_t share_mode) {
    return Open(name, kGenericRead | kGenericWrite, share_mode, kCreateNew, 0);
}

void CSimpleFile::Attach(Handle handle, bool owns) {
    Close();
    handle_ = handle;
    owns_ = owns;
    end_or_failed_ = false;
}

bool CSimpleFile::Open(const std::string& name, uint32_t access, uint32_t /*share_mode*/,
                       uint32_t disposition, uint32_t retry_ms) {
    Close();
    owns_ = true;
    const int flags = OpenFlags(access, disposition);
    const auto attempt = [&] {
        handle_ = ::open(name.c_str(), flags, 0644);
        if (handle_ == kInvalidHandle) SetLastErrorFromErrno();
    };
    attempt();
    if (handle_ == kInvalidHandle && retry_ms != 0) {
        const int64_t deadline = NowSeconds() + retry_ms / 1000;
        while (NowSeconds() < deadline && handle_ == kInvalidHandle) {
            if (GetLastError() != Win32::kSharingViolation) break;
            std::this_thread::sleep_for(std::chrono::seconds(1));
            attempt();
        }
    }
    end_or_failed_ = handle_ == kInvalidHandle;
    return !end_or_failed_;
}

bool CSimpleFile::OpenExisting(const std::string& name, uint32_t access, uint32_t share_mode) {
    return Open(name, access, share_mode, kOpenExisting, 0);
}

bool CSimpleFile::Close() {
    bool closed = false;
    if (handle_ != kInvalidHandle) {
        closed = true;
        if (owns_ && ::close(handle_) != 0) {
            SetLastErrorFromErrno();
            closed = false;
        }
    }
    handle_ = kInvalidHandle;
    end_or_failed_ = true;
    return closed;
}

CSimpleFile::Handle CSimpleFile::Detach() {
    const Handle handle = handle_;
    handle_ = kInvalidHandle;
    end_or_failed_ = true;
    return handle;
}

uint32_t CSimpleFile::GetLength() {
    struct stat info;
    if (::fstat(handle_, &info) != 0) ThrowLastErrno("GetLength: ");
    return static_cast<uint32_t>(info.st_size);
}

uint32_t CSimpleFile::GetPosition() {
    const off_t position = ::lseek(handle_, 0, SEEK_CUR);
    if (position < 0) ThrowLastErrno("GetPosition: ");
    return static_cast<uint32_t>(position);
}

uint32_t CSimpleFile::Read(void* buffer, uint32_t count) {
    ssize_t got;
    do {
        got = ::read(handle_, buffer, count);
    } while (got < 0 && errno == EINTR);
    if (got < 0) ThrowLastErrno("Read: ");
    if (got == 0) end_or_failed_ = true;
    return static_cast<uint32_t>(got);
}

uint32_t CSimpleFile::ReadExact(void* buffer, uint32_t count) {
    const uint32_t got = Read(buffer, count);
    if (got < count) {
        throw CSimpleFileEx("ReadExact: read only " + std::to_string(got) + " bytes requested " +
                            std::to_string(count));
    }
    return got;
}

uint32_t CSimpleFile::Seek(int32_t distance, SeekMethod method) {
    const int whence = method == kBegin ? SEEK_SET : method == kCurrent ? SEEK_CUR : SEEK_END;
    const off_t position = ::lseek(handle_, distance, whence);
    if (position < 0) ThrowLastErrno("Seek: ");
    return static_cast<uint32_t>(position);
}

bool CSimpleFile::SetEndOfFile() {
    const off_t position = ::lseek(handle_, 0, SEEK_CUR);
    if (position < 0 || ::ftruncate(handle_, position) != 0) ThrowLastErrno("SetEndOfFile: ");
    return true;
}

uint32_t CSimpleFile::Write(const void* buffer, uint32_t count) {
    const char* data = static_cast<const char*>(buffer);
    uint32_t done = 0;
    while (done < count) {
        const ssize_t wrote = ::write(handle_, data + done, count - done);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            ThrowLastErrno("Write: ");
        }
        done += static_cast<uint32_t>(wrote);
    }
    return done;
}

}  // namespace TesselSoftware
