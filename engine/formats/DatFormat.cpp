// Encoding and validating decoding of the DAT files.
#include "vexor/DatFormat.h"

#include <cstring>

#include "ByteIo.h"

namespace VexorEngine {

namespace {

constexpr char kMagic[4][4] = {
    {'V', 'X', 'S', 'C'}, {'V', 'X', 'N', 'M'}, {'V', 'X', 'C', 'L'}, {'V', 'X', 'E', 'X'}};
constexpr size_t kChecksumOffset = 28;

const char* KindName(DatKind kind) {
    return kDatFileNames[static_cast<int>(kind)];
}

bool Fail(std::string* error, std::string text) {
    if (error) {
        *error = std::move(text);
    }
    return false;
}

bool IsNameChar(char c) {
    return c >= 0x20 && c <= 0x7E && c != ';';
}

bool IsValidAction(uint8_t action) {
    return action == static_cast<uint8_t>(CleanAction::kNone) ||
           action == static_cast<uint8_t>(CleanAction::kRepair) ||
           action == static_cast<uint8_t>(CleanAction::kDelete);
}

// pattern: u16 length, length bytes (0 where wildcard), wildcard bitmap.
void WritePattern(ByteWriter& out, const std::vector<uint16_t>& pattern) {
    out.U16(static_cast<uint16_t>(pattern.size()));
    std::string mask((pattern.size() + 7) / 8, '\0');
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == kWildcard) {
            out.U8(0);
            mask[i / 8] = static_cast<char>(mask[i / 8] | (1 << (i % 8)));
        } else {
            out.U8(static_cast<uint8_t>(pattern[i]));
        }
    }
    out.Bytes(mask);
}

bool ReadPattern(ByteReader& in, std::vector<uint16_t>* pattern) {
    const size_t length = in.U16();
    const std::string_view bytes = in.Bytes(length);
    const std::string_view mask = in.Bytes((length + 7) / 8);
    if (!in.ok() || length < kMinPatternLength || length > kMaxPatternLength) {
        return false;
    }
    pattern->resize(length);
    for (size_t i = 0; i < length; ++i) {
        const bool wild = (static_cast<uint8_t>(mask[i / 8]) >> (i % 8)) & 1;
        // A wildcard position holds 0, so each pattern has exactly one encoding.
        if (wild && bytes[i] != 0) {
            return false;
        }
        (*pattern)[i] = wild ? kWildcard : static_cast<uint8_t>(bytes[i]);
    }
    if (length % 8 != 0 && (static_cast<uint8_t>(mask.back()) >> (length % 8)) != 0) {
        return false;
    }
    size_t offset = 0;
    return LongestFixedRun(*pattern, &offset) >= kMinAnchorLength;
}

void WriteName(ByteWriter& out, const std::string& name) {
    out.U8(static_cast<uint8_t>(name.size()));
    out.Bytes(name);
}

bool ReadName(ByteReader& in, std::string* name) {
    const size_t length = in.U8();
    const std::string_view bytes = in.Bytes(length);
    if (!in.ok() || length == 0) {
        return false;
    }
    for (const char c : bytes) {
        if (!IsNameChar(c)) {
            return false;
        }
    }
    name->assign(bytes);
    return true;
}

bool ReadAction(ByteReader& in, CleanAction* action) {
    const uint8_t value = in.U8();
    if (!in.ok() || !IsValidAction(value)) {
        return false;
    }
    *action = static_cast<CleanAction>(value);
    return true;
}

}  // namespace

std::string FrameDatFile(DatKind kind, uint32_t version, uint16_t dos_date, uint32_t count,
                         std::string_view payload) {
    std::string file;
    ByteWriter out(&file);
    out.Bytes(std::string_view(kMagic[static_cast<int>(kind)], 4));
    out.U16(kDatFormatVersion);
    out.U16(dos_date);
    out.U32(version);
    out.U32(count);
    out.U32(static_cast<uint32_t>(payload.size()));
    out.U32(0);
    out.U32(0);
    out.U32(Crc32(payload, Crc32(file)));
    out.Bytes(payload);
    return file;
}

namespace {

bool DecodeRecord(ByteReader& in, DatKind kind, Signature* record) {
    switch (kind) {
        case DatKind::kScan:
            return ReadPattern(in, &record->pattern);
        case DatKind::kNames:
            return ReadName(in, &record->name);
        case DatKind::kClean:
            return ReadAction(in, &record->action);
        case DatKind::kExtra:
            return ReadAction(in, &record->action) && ReadName(in, &record->name) &&
                   ReadPattern(in, &record->pattern);
    }
    return false;
}

}  // namespace

uint16_t PackDosDate(int year, int month, int day) {
    if (year < 1980 || year > 2107 || month < 1 || month > 12 || day < 1 || day > 31) {
        return 0;
    }
    return static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}

bool IsValidDosDate(uint16_t date) {
    const int day = date & 0x1F;
    const int month = (date >> 5) & 0x0F;
    return day >= 1 && month >= 1 && month <= 12;
}

size_t LongestFixedRun(const std::vector<uint16_t>& pattern, size_t* offset) {
    size_t best = 0, run = 0;
    *offset = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        run = pattern[i] == kWildcard ? 0 : run + 1;
        if (run > best) {
            best = run;
            *offset = i + 1 - run;
        }
    }
    return best;
}

std::string CheckSignature(const Signature& signature) {
    if (signature.name.empty() || signature.name.size() > kMaxNameLength) {
        return "the name must have 1 to 255 characters";
    }
    for (const char c : signature.name) {
        if (!IsNameChar(c)) {
            return "the name holds a character other than printable ASCII or ';'";
        }
    }
    if (!IsValidAction(static_cast<uint8_t>(signature.action))) {
        return "unknown cleaning action";
    }
    if (signature.pattern.size() < kMinPatternLength ||
        signature.pattern.size() > kMaxPatternLength) {
        return "the pattern must have 4 to 255 bytes";
    }
    for (const uint16_t element : signature.pattern) {
        if (element > kWildcard) {
            return "a pattern element is neither a byte nor a wildcard";
        }
    }
    size_t offset = 0;
    if (LongestFixedRun(signature.pattern, &offset) < kMinAnchorLength) {
        return "the pattern needs 3 fixed bytes in a row";
    }
    return "";
}

bool EncodeDatSet(const DatSet& set, DatFiles* files, std::string* error) {
    if (!IsValidDosDate(set.dos_date)) {
        return Fail(error, "invalid DOS date");
    }
    if (set.signatures.empty()) {
        return Fail(error, "a DAT set needs at least one signature");
    }
    if (set.signatures.size() > kMaxRecordCount || set.extra.size() > kMaxRecordCount) {
        return Fail(error, "too many signatures");
    }
    std::string scan, names, clean, extra;
    ByteWriter scan_out(&scan), names_out(&names), clean_out(&clean), extra_out(&extra);
    for (const Signature& s : set.signatures) {
        if (std::string why = CheckSignature(s); !why.empty()) {
            return Fail(error, "signature '" + s.name + "': " + why);
        }
        WritePattern(scan_out, s.pattern);
        WriteName(names_out, s.name);
        clean_out.U8(static_cast<uint8_t>(s.action));
    }
    for (const Signature& s : set.extra) {
        if (std::string why = CheckSignature(s); !why.empty()) {
            return Fail(error, "extra signature '" + s.name + "': " + why);
        }
        extra_out.U8(static_cast<uint8_t>(s.action));
        WriteName(extra_out, s.name);
        WritePattern(extra_out, s.pattern);
    }
    const auto count = static_cast<uint32_t>(set.signatures.size());
    files->scan = FrameDatFile(DatKind::kScan, set.version, set.dos_date, count, scan);
    files->names = FrameDatFile(DatKind::kNames, set.version, set.dos_date, count, names);
    files->clean = FrameDatFile(DatKind::kClean, set.version, set.dos_date, count, clean);
    files->extra.clear();
    if (!set.extra.empty()) {
        files->extra = FrameDatFile(DatKind::kExtra, set.version, set.dos_date,
                                static_cast<uint32_t>(set.extra.size()), extra);
    }
    return true;
}

bool BuildDatFiles(std::string_view signature_list, std::string_view extra_list, uint32_t version,
                   uint16_t dos_date, DatFiles* files, std::string* error) {
    DatSet set;
    set.version = version;
    set.dos_date = dos_date;
    std::string why;
    if (!ParseSignatureList(signature_list, &set.signatures, &why)) {
        return Fail(error, "signature list: " + why);
    }
    if (!ParseSignatureList(extra_list, &set.extra, &why)) {
        return Fail(error, "extra signature list: " + why);
    }
    return EncodeDatSet(set, files, error);
}

bool ReadDatHeader(std::string_view bytes, DatKind expected, DatFileHeader* header,
                   std::string* error) {
    const std::string name = KindName(expected);
    if (bytes.size() < kDatHeaderSize) {
        return Fail(error, name + ": truncated header");
    }
    if (std::memcmp(bytes.data(), kMagic[static_cast<int>(expected)], 4) != 0) {
        return Fail(error, name + ": magic does not match");
    }
    ByteReader in(bytes.substr(4, kDatHeaderSize - 4));
    header->kind = expected;
    header->format = in.U16();
    header->dos_date = in.U16();
    header->version = in.U32();
    header->count = in.U32();
    header->payload_size = in.U32();
    const uint32_t reserved0 = in.U32();
    const uint32_t reserved1 = in.U32();
    header->checksum = in.U32();
    if (header->format != kDatFormatVersion) {
        return Fail(error, name + ": unknown format");
    }
    if (reserved0 != 0 || reserved1 != 0) {
        return Fail(error, name + ": reserved fields set");
    }
    if (header->payload_size != bytes.size() - kDatHeaderSize) {
        return Fail(error, name + ": size does not match its header (truncated or extended)");
    }
    if (!IsValidDosDate(header->dos_date)) {
        return Fail(error, name + ": invalid date");
    }
    if (header->count > kMaxRecordCount) {
        return Fail(error, name + ": record count too large");
    }
    return true;
}

bool DecodeDatFile(std::string_view bytes, DatKind expected, DatFileContent* content,
                   std::string* error) {
    const std::string name = KindName(expected);
    DatFileHeader& header = content->header;
    if (!ReadDatHeader(bytes, expected, &header, error)) {
        return false;
    }
    const std::string_view payload = bytes.substr(kDatHeaderSize);
    if (Crc32(payload, Crc32(bytes.substr(0, kChecksumOffset))) != header.checksum) {
        return Fail(error, name + ": checksum mismatch");
    }
    // Each record takes at least one byte, so the count cannot force a huge allocation.
    if (header.count > payload.size()) {
        return Fail(error, name + ": record count too large");
    }
    content->records.assign(header.count, Signature{});
    ByteReader in(payload);
    for (uint32_t i = 0; i < header.count; ++i) {
        if (!DecodeRecord(in, expected, &content->records[i])) {
            return Fail(error, name + ": record " + std::to_string(i) + " is malformed");
        }
    }
    if (in.remaining() != 0) {
        return Fail(error, name + ": bytes after the last record");
    }
    return true;
}

bool DecodeDatSet(const DatFiles& files, DatSet* set, std::string* error) {
    DatFileContent scan, names, clean, extra;
    if (!DecodeDatFile(files.scan, DatKind::kScan, &scan, error) ||
        !DecodeDatFile(files.names, DatKind::kNames, &names, error) ||
        !DecodeDatFile(files.clean, DatKind::kClean, &clean, error)) {
        return false;
    }
    const bool has_extra = !files.extra.empty();
    if (has_extra && !DecodeDatFile(files.extra, DatKind::kExtra, &extra, error)) {
        return false;
    }
    const DatFileHeader& h = scan.header;
    for (const DatFileContent* other : {&names, &clean, has_extra ? &extra : &names}) {
        if (other->header.version != h.version || other->header.dos_date != h.dos_date) {
            return Fail(error, std::string(KindName(other->header.kind)) +
                                   ": version or date differs from avvscan.dat");
        }
    }
    if (names.header.count != h.count || clean.header.count != h.count) {
        return Fail(error, "avvnames.dat or avvclean.dat does not match the signature count");
    }
    if (h.count == 0) {
        return Fail(error, "avvscan.dat holds no signature");
    }
    set->version = h.version;
    set->dos_date = h.dos_date;
    set->signatures = std::move(scan.records);
    for (size_t i = 0; i < set->signatures.size(); ++i) {
        set->signatures[i].name = std::move(names.records[i].name);
        set->signatures[i].action = clean.records[i].action;
    }
    set->extra = std::move(extra.records);
    return true;
}

}  // namespace VexorEngine
