// The file version of a library, read from its ELF note without loading it:
// section ".note.vexor.version", note name "Vexor", type 1, descriptor of
// four little-endian 16-bit numbers (major, minor, build, revision).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace TesselSoftware {

struct FileVersion {
    uint16_t major = 0, minor = 0, build = 0, revision = 0;
    // "6.1.0.1234"
    std::string ToString() const;
    bool operator==(const FileVersion&) const = default;
};

inline constexpr char kVersionNoteName[] = "Vexor";
inline constexpr uint32_t kVersionNoteType = 1;

// nullopt when the file cannot be read, is not a 64-bit little-endian ELF
// file, or carries no well-formed version note. Never trusts the file's
// offsets: every read is bounds-checked.
std::optional<FileVersion> ReadFileVersion(const std::string& path);

// Rewrites the numbers of an existing version note in place (release tools
// stamp a built library with the version they publish). False when the file
// carries no well-formed note or cannot be written.
bool WriteFileVersion(const std::string& path, const FileVersion& version);

}  // namespace TesselSoftware
