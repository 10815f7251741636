#include "Common/Rpc/NdrCodec.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "Common/Errors/Win32Error.h"

namespace TesselSoftware {

namespace {

[[noreturn]] void BadStubData(const char* what) {
    throw RpcStubException(Win32::kBadStubData, std::string("Bad stub data: ") + what);
}

size_t TextLength(const char16_t* text) {
    size_t length = 0;
    while (text[length] != u'\0') ++length;
    return length;
}

}  // namespace

void NdrWriter::Align(size_t alignment) {
    bytes_.resize((bytes_.size() + alignment - 1) & ~(alignment - 1), 0);
}

void NdrWriter::Put(const void* data, size_t size) {
    const auto* begin = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), begin, begin + size);
}

void NdrWriter::WriteSmall(uint8_t value) { Put(&value, 1); }

void NdrWriter::WriteShort(int16_t value) {
    Align(2);
    Put(&value, 2);
}

void NdrWriter::WriteLong(int32_t value) {
    Align(4);
    Put(&value, 4);
}

void NdrWriter::WriteHyper(int64_t value) {
    Align(8);
    Put(&value, 8);
}

void NdrWriter::WriteEnum16(int32_t value) {
    if (value < 0 || value > 0x7FFF) {
        throw RpcStubException(Win32::kEnumValueOutOfRange,
                               "Enumeration value out of range: " + std::to_string(value));
    }
    WriteShort(static_cast<int16_t>(value));
}

void NdrWriter::WriteReferent(bool present) {
    WriteLong(present ? static_cast<int32_t>(next_referent_) : 0);
    if (present) next_referent_ += 4;
}

void NdrWriter::WriteString(const char16_t* text) {
    const auto units = static_cast<int32_t>(TextLength(text) + 1);
    WriteLong(units);  // maximum count
    WriteLong(0);      // offset
    WriteLong(units);  // actual count
    Put(text, static_cast<size_t>(units) * 2);
}

void NdrWriter::WriteUniqueString(const char16_t* text) {
    WriteReferent(text != nullptr);
    if (text != nullptr) WriteString(text);
}

void NdrWriter::WriteLogEntries(const VexorLogEntry* entries, int32_t count) {
    WriteReferent(entries != nullptr && count > 0);
    if (entries == nullptr || count <= 0) return;
    WriteLong(count);
    for (int32_t i = 0; i < count; ++i) {
        WriteHyper(entries[i].time);
        WriteReferent(entries[i].text != nullptr);
    }
    for (int32_t i = 0; i < count; ++i) {
        if (entries[i].text != nullptr) WriteString(entries[i].text);
    }
}

void NdrReader::Align(size_t alignment) {
    const size_t aligned = (offset_ + alignment - 1) & ~(alignment - 1);
    if (aligned > stub_.size()) BadStubData("truncated");
    offset_ = aligned;
}

void NdrReader::Take(void* data, size_t size) {
    if (size > Remaining()) BadStubData("truncated");
    std::memcpy(data, stub_.data() + offset_, size);
    offset_ += size;
}

uint8_t NdrReader::ReadSmall() {
    uint8_t value;
    Take(&value, 1);
    return value;
}

int16_t NdrReader::ReadShort() {
    Align(2);
    int16_t value;
    Take(&value, 2);
    return value;
}

int32_t NdrReader::ReadLong() {
    Align(4);
    int32_t value;
    Take(&value, 4);
    return value;
}

int64_t NdrReader::ReadHyper() {
    Align(8);
    int64_t value;
    Take(&value, 8);
    return value;
}

int32_t NdrReader::ReadEnum16() {
    const auto value = static_cast<uint16_t>(ReadShort());
    if (value > 0x7FFF) BadStubData("enumeration value out of range");
    return value;
}

uint32_t NdrReader::ReadReferent() { return static_cast<uint32_t>(ReadLong()); }

RpcString NdrReader::ReadStringBody() {
    const auto maximum = static_cast<uint32_t>(ReadLong());
    const auto offset = static_cast<uint32_t>(ReadLong());
    const auto actual = static_cast<uint32_t>(ReadLong());
    if (offset != 0 || actual == 0 || actual > maximum || actual > kNdrMaxStringUnits ||
        size_t{actual} * 2 > Remaining()) {
        BadStubData("string counts");
    }
    RpcString text(static_cast<char16_t*>(RpcAllocate(size_t{actual} * 2)));
    if (!text) throw std::bad_alloc();
    Take(text.get(), size_t{actual} * 2);
    // Exactly one NUL, at the end; never scan past what arrived.
    const char16_t* const first = text.get();
    const char16_t* const last = first + actual - 1;
    if (*last != u'\0' || std::find(first, last, u'\0') != last) BadStubData("string terminator");
    return text;
}

RpcString NdrReader::ReadUniqueString() {
    if (ReadReferent() == 0) return nullptr;
    return ReadStringBody();
}

VexorLogEntry* NdrReader::ReadLogEntries(int32_t count) {
    if (ReadReferent() == 0) return nullptr;
    const auto maximum = static_cast<uint32_t>(ReadLong());
    // Each entry takes at least 12 bytes on the wire before its text.
    if (count < 0 || maximum != static_cast<uint32_t>(count) || maximum > kNdrMaxLogEntries ||
        size_t{maximum} * 12 > Remaining()) {
        BadStubData("array counts");
    }
    struct Owner {
        VexorLogEntry* entries;
        int32_t count;
        ~Owner() { FreeLogEntries(entries, count); }
    } owner{static_cast<VexorLogEntry*>(RpcAllocate(sizeof(VexorLogEntry) * (maximum ? maximum : 1))),
            0};
    if (owner.entries == nullptr) throw std::bad_alloc();
    std::vector<bool> has_text(maximum);
    for (uint32_t i = 0; i < maximum; ++i) {
        owner.entries[i] = VexorLogEntry{ReadHyper(), nullptr};
        ++owner.count;
        has_text[i] = ReadReferent() != 0;
    }
    for (uint32_t i = 0; i < maximum; ++i) {
        if (has_text[i]) owner.entries[i].text = ReadStringBody().release();
    }
    VexorLogEntry* entries = owner.entries;
    owner.entries = nullptr;
    return entries;
}

void NdrReader::ExpectEnd() const {
    // Senders may pad the stub to an alignment boundary; padding is not
    // required to be zero.
    if (Remaining() >= 8) BadStubData("trailing data");
}

void FreeLogEntries(VexorLogEntry* entries, int32_t count) {
    if (entries == nullptr) return;
    for (int32_t i = 0; i < count; ++i) RpcFree(entries[i].text);
    RpcFree(entries);
}

}  // namespace TesselSoftware
