// The engine's definition ("DAT") files: the signature model, the text list
// the publisher starts from, and the binary files the engine loads.
//
// A set is three files plus an optional fourth, each with the same header
// (magic, format, DOS date, DAT version, record count, payload size, CRC-32):
//   avvscan.dat   patterns of signatures 0..n-1
//   avvnames.dat  their virus names
//   avvclean.dat  their cleaning actions
//   extra.dat     further signatures, each with name, action and pattern
// engine/README.md describes the bytes.
//
// Usage (publisher):
//   VexorEngine::DatFiles files;
//   std::string error;
//   if (!VexorEngine::BuildDatFiles(list_text, "", 6543, PackDosDate(2024, 5, 17), &files,
//                                   &error) ||
//       !VexorEngine::WriteDatFiles(folder, files, &error)) { ... }
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace VexorEngine {

// A pattern element that matches any byte.
inline constexpr uint16_t kWildcard = 0x100;

inline constexpr size_t kMinPatternLength = 4;
inline constexpr size_t kMaxPatternLength = 255;
// Every pattern holds a run of at least this many fixed bytes, which the
// matcher indexes; shorter runs would make nearly every byte a candidate.
inline constexpr size_t kMinAnchorLength = 3;
inline constexpr size_t kMaxNameLength = 255;
inline constexpr uint32_t kMaxRecordCount = 4'000'000;
inline constexpr size_t kMaxDatFileSize = size_t{256} << 20;
inline constexpr size_t kDatHeaderSize = 32;
inline constexpr uint16_t kDatFormatVersion = 1;

// The cleaning action a signature prescribes.
enum class CleanAction : uint8_t {
    kNone = 0,    // cannot be cleaned
    kRepair = 1,  // cut the signature's bytes out of the object
    kDelete = 4,  // the object must go (a container member is taken out)
};

struct Signature {
    std::string name;  // printable ASCII without ';', 1..255 bytes
    CleanAction action = CleanAction::kNone;
    std::vector<uint16_t> pattern;  // byte values 0..255 or kWildcard
    bool operator==(const Signature&) const = default;
};

struct DatSet {
    uint32_t version = 0;
    uint16_t dos_date = 0;
    std::vector<Signature> signatures;  // avvscan.dat, avvnames.dat, avvclean.dat
    std::vector<Signature> extra;       // extra.dat; none means no extra.dat
};

enum class DatKind { kScan = 0, kNames = 1, kClean = 2, kExtra = 3 };
inline constexpr const char* kDatFileNames[] = {"avvscan.dat", "avvnames.dat", "avvclean.dat",
                                                "extra.dat"};

struct DatFileHeader {
    DatKind kind = DatKind::kScan;
    uint16_t format = 0;
    uint16_t dos_date = 0;
    uint32_t version = 0;
    uint32_t count = 0;
    uint32_t payload_size = 0;
    uint32_t checksum = 0;
};

// The bytes of one set's files; an empty extra means the set has none.
struct DatFiles {
    std::string scan, names, clean, extra;
    bool operator==(const DatFiles&) const = default;
};

// One decoded file. Records carry only what the kind holds: patterns (scan),
// names (names), actions (clean), or all three (extra).
struct DatFileContent {
    DatFileHeader header;
    std::vector<Signature> records;
};

// Packed DOS date (bits 0-4 day, 5-8 month, 9-15 years since 1980); 0 when the
// date cannot be packed (year outside 1980..2107, month or day out of range).
uint16_t PackDosDate(int year, int month, int day);
bool IsValidDosDate(uint16_t date);

// Length of the pattern's longest run of fixed bytes (the first one of that
// length); its start goes to *offset.
size_t LongestFixedRun(const std::vector<uint16_t>& pattern, size_t* offset);

// Empty when the signature can be stored, else why not.
std::string CheckSignature(const Signature& signature);

// The text list: one signature per line, "name ; action ; pattern", where
// action is none, repair or delete and the pattern is a sequence of hex byte
// pairs, "??" wildcards and "quoted" literal text, blanks between them
// optional. Blank lines and lines starting with '#' are skipped.
// On failure *error names the line and *out is unspecified.
bool ParseSignatureList(std::string_view text, std::vector<Signature>* out, std::string* error);
std::string FormatSignatureList(const std::vector<Signature>& signatures);

// One file of kind: header (with its checksum) followed by payload, which is
// taken as it is. The encoder uses it; so does the fuzzer, to reach the
// record decoder with arbitrary payloads.
std::string FrameDatFile(DatKind kind, uint32_t version, uint16_t dos_date, uint32_t count,
                         std::string_view payload);

// Encodes a set. Fails (with *error) when a signature is invalid, the set is
// empty or the date is invalid.
bool EncodeDatSet(const DatSet& set, DatFiles* files, std::string* error);

// Builds the files of a set from the text lists (extra_list may be empty).
bool BuildDatFiles(std::string_view signature_list, std::string_view extra_list, uint32_t version,
                   uint16_t dos_date, DatFiles* files, std::string* error);

// Checks the header alone: magic of the expected kind, format, reserved
// fields, declared payload size against the byte count, date. Does not read
// the payload, so the checksum is not verified here.
bool ReadDatHeader(std::string_view bytes, DatKind expected, DatFileHeader* header,
                   std::string* error);

// Validates and decodes one file completely (header, checksum, every record).
bool DecodeDatFile(std::string_view bytes, DatKind expected, DatFileContent* content,
                   std::string* error);

// Decodes a set and checks that its files belong together: same version and
// date, one name and one action per pattern. An empty files.extra is allowed.
bool DecodeDatSet(const DatFiles& files, DatSet* set, std::string* error);

// Reads a whole file of at most max_size bytes.
bool ReadFileBytes(const std::string& path, size_t max_size, std::string* out, std::string* error);
// Writes data to path through a temporary name beside it, so a reader never
// sees half a file.
bool WriteFileAtomically(const std::string& path, std::string_view data, std::string* error);
// Writes the three files (and extra.dat when present) into folder, which is
// created when its parent exists.
bool WriteDatFiles(const std::string& folder, const DatFiles& files, std::string* error);

uint32_t Crc32(std::string_view data, uint32_t crc = 0);

}  // namespace VexorEngine
