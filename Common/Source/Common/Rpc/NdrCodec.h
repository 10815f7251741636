// NDR 2.0 (little-endian) encoding and decoding of the stub data of the
// local RPC interface: the primitive types, unique pointers, conformant
// varying UTF-16 strings and the VexorLogEntry array.
//
//   NdrWriter out;
//   out.WriteHyper(42);
//   out.WriteUniqueString(u"text");        // referent id, then the string
//   NdrReader in(out.Bytes());
//   int64_t value = in.ReadHyper();        // throws RpcStubException (1783)
//
// Alignment is counted from the start of the stub data. Strings of
// top-level parameters follow their pointer at once; the texts of array
// elements follow the whole array, as NDR defers embedded pointers. The
// reader checks every count against the bytes that remain and a fixed cap
// before it allocates anything. Not thread-safe; one object per call.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "Common/Errors/ExceptionBase.h"
#include "Common/Rpc/RPCHelpers.h"

namespace TesselSoftware {

// Malformed stub data (1783), or an enumeration value that cannot be sent
// (1781). Code() holds the number.
class RpcStubException : public ExceptionBase {
public:
    using ExceptionBase::ExceptionBase;
};

// One line of the service's message history as it crosses the interface.
struct VexorLogEntry {
    int64_t time;     // seconds since 1970-01-01 UTC
    char16_t* text;   // RpcAllocate'd, may be null
};
static_assert(sizeof(VexorLogEntry) == 16 && alignof(VexorLogEntry) == 8);

// Longest string the reader accepts, in UTF-16 units with the terminator.
inline constexpr uint32_t kNdrMaxStringUnits = 1 << 20;
// Most log entries the reader accepts in one array.
inline constexpr uint32_t kNdrMaxLogEntries = 1 << 16;

class NdrWriter {
public:
    void WriteSmall(uint8_t value);
    void WriteShort(int16_t value);
    void WriteLong(int32_t value);
    void WriteHyper(int64_t value);
    // Memory form 32-bit, wire form 16-bit; values outside 0..0x7FFF throw
    // RpcStubException 1781 and write nothing.
    void WriteEnum16(int32_t value);
    // A unique pointer to a NUL-terminated string: referent id 0 for
    // nullptr, else a fresh id followed by the conformant varying string.
    void WriteUniqueString(const char16_t* text);
    // count entries as a unique pointer to a conformant array (referent id 0
    // when entries is nullptr or count is not positive).
    void WriteLogEntries(const VexorLogEntry* entries, int32_t count);

    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    std::vector<uint8_t> TakeBytes() { return std::move(bytes_); }

private:
    void Align(size_t alignment);
    void Put(const void* data, size_t size);
    void WriteReferent(bool present);
    void WriteString(const char16_t* text);

    std::vector<uint8_t> bytes_;
    uint32_t next_referent_ = 0x00020000;
};

class NdrReader {
public:
    explicit NdrReader(std::span<const uint8_t> stub) : stub_(stub) {}

    uint8_t ReadSmall();
    int16_t ReadShort();
    int32_t ReadLong();
    int64_t ReadHyper();
    // Values above 0x7FFF are bad stub data.
    int32_t ReadEnum16();
    // nullptr for a null pointer; otherwise a string allocated with
    // RpcAllocate, checked to be terminated and free of inner NULs.
    RpcString ReadUniqueString();
    // Reads what WriteLogEntries wrote for a count that was already read;
    // the array and each text are allocated with RpcAllocate. Returns
    // nullptr when the pointer is null.
    VexorLogEntry* ReadLogEntries(int32_t count);
    // Throws unless only alignment padding (fewer than 8 bytes) remains.
    void ExpectEnd() const;

    size_t Remaining() const { return stub_.size() - offset_; }

private:
    void Align(size_t alignment);
    void Take(void* data, size_t size);
    uint32_t ReadReferent();
    RpcString ReadStringBody();

    std::span<const uint8_t> stub_;
    size_t offset_ = 0;
};

// Frees an array of ReadLogEntries or of the server's handler: each text,
// then the array. nullptr is ignored.
void FreeLogEntries(VexorLogEntry* entries, int32_t count);

}  // namespace TesselSoftware
