// CSimpleFile: a thin owner of a file descriptor that throws CSimpleFileEx
// instead of returning error codes.
//
//   CSimpleFile file("/var/lib/vexor/dat/oem.ini");   // throws when missing
//   char block[1024];
//   while (uint32_t n = file.Read(block, sizeof block)) { ... }
//
// Not copyable. Not safe for concurrent use of one object.
#pragma once

#include <cstdint>
#include <string>

#include "Common/Errors/ExceptionBase.h"

namespace TesselSoftware {

// code = the Win32 number of the failure; message = operation prefix +
// FormatErrorText(code) ("Read: 5 - Access is denied.\r\n").
class CSimpleFileEx : public ExceptionBase {
public:
    CSimpleFileEx(uint32_t code, const std::string& prefix);
    // A failure without a system error text (ReadExact's short read).
    explicit CSimpleFileEx(std::string message) : ExceptionBase(0, std::move(message)) {}
};

class CSimpleFile {
public:
    using Handle = int;
    static constexpr Handle kInvalidHandle = -1;

    // Access rights.
    static constexpr uint32_t kGenericRead = 0x80000000u;
    static constexpr uint32_t kGenericWrite = 0x40000000u;
    // Share modes are accepted for the callers' sake; Linux has no
    // mandatory sharing, so they have no effect.
    static constexpr uint32_t kShareRead = 1;
    static constexpr uint32_t kShareWrite = 2;
    static constexpr uint32_t kShareDelete = 4;
    // Creation dispositions.
    static constexpr uint32_t kCreateNew = 1;
    static constexpr uint32_t kCreateAlways = 2;
    static constexpr uint32_t kOpenExisting = 3;
    static constexpr uint32_t kOpenAlways = 4;
    static constexpr uint32_t kTruncateExisting = 5;

    enum SeekMethod : int { kBegin = 0, kCurrent = 1, kEnd = 2 };

    // No file: invalid handle, owning, end-or-failed set.
    CSimpleFile() = default;
    // Takes handle as Attach does.
    CSimpleFile(Handle handle, bool owns);
    // Opens an existing file for reading; throws CSimpleFileEx
    // "CSimpleFile: <name> - <error text>" with the error's code on failure.
    explicit CSimpleFile(const std::string& name);

    CSimpleFile(const CSimpleFile&) = delete;
    CSimpleFile& operator=(const CSimpleFile&) = delete;
    // Closes the handle if owned.
    virtual ~CSimpleFile();

    // Creates a new file for reading and writing; fails if it exists.
    virtual bool Create(const std::string& name, uint32_t share_mode);
    // Closes the current handle, then takes handle and its owns flag.
    virtual void Attach(Handle handle, bool owns);
    // Opens name; on failure with a sharing violation, retries about once a
    // second for retry_ms / 1000 whole seconds. Records the last error.
    virtual bool Open(const std::string& name, uint32_t access, uint32_t share_mode,
                      uint32_t disposition, uint32_t retry_ms);
    virtual bool OpenExisting(const std::string& name, uint32_t access, uint32_t share_mode);
    // Closes an owned handle; the object is left without a handle. False for
    // an object that had none, or when closing failed.
    virtual bool Close();
    // Gives the handle away without closing it.
    virtual Handle Detach();
    virtual uint32_t GetLength();
    virtual uint32_t GetPosition();
    virtual Handle GetHandle() const { return handle_; }
    virtual bool IsEndOrFailed() const { return end_or_failed_; }
    virtual bool IsOpen() const { return handle_ != kInvalidHandle; }
    // Reads up to count bytes; 0 at the end of the file (sets end-or-failed).
    virtual uint32_t Read(void* buffer, uint32_t count);
    // Reads exactly count bytes or throws "ReadExact: read only N bytes
    // requested M".
    virtual uint32_t ReadExact(void* buffer, uint32_t count);
    virtual uint32_t Seek(int32_t distance, SeekMethod method);
    virtual uint32_t SeekToBegin() { return Seek(0, kBegin); }
    // Truncates the file at the current position.
    virtual bool SetEndOfFile();
    // Writes all count bytes.
    virtual uint32_t Write(const void* buffer, uint32_t count);

private:
    Handle handle_ = kInvalidHandle;
    bool owns_ = true;
    bool end_or_failed_ = true;
};

}  // namespace TesselSoftware
