#include "Common/Platform/FileVersion.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "Common/Platform/ReadOnlyFile.h"

namespace TesselSoftware {

namespace {

constexpr uint64_t kMaxNoteSection = 1 << 20;  // version notes are a few dozen bytes

uint64_t Align4(uint64_t value) { return (value + 3) & ~uint64_t{3}; }

// Offset of the version note's descriptor within notes, or nullopt.
std::optional<uint64_t> FindVersionNote(const std::vector<char>& notes) {
    uint64_t at = 0;
    while (at + sizeof(Elf64_Nhdr) <= notes.size()) {
        Elf64_Nhdr header;
        std::memcpy(&header, notes.data() + at, sizeof header);
        const uint64_t name_at = at + sizeof header;
        const uint64_t desc_at = name_at + Align4(header.n_namesz);
        const uint64_t next = desc_at + Align4(header.n_descsz);
        if (header.n_namesz > notes.size() || header.n_descsz > notes.size() ||
            next > notes.size()) {
            return std::nullopt;
        }
        if (header.n_namesz == sizeof kVersionNoteName &&
            std::memcmp(notes.data() + name_at, kVersionNoteName, sizeof kVersionNoteName) == 0 &&
            header.n_type == kVersionNoteType && header.n_descsz >= 8) {
            return desc_at;
        }
        at = next;
    }
    return std::nullopt;
}

}  // namespace

std::string FileVersion::ToString() const {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build) + "." +
           std::to_string(revision);
}

namespace {

// File offset of the version note's 8-byte descriptor, or nullopt.
std::optional<uint64_t> LocateVersionNote(const ReadOnlyFile& file) {
    if (!file.ok()) return std::nullopt;
    const uint64_t file_size = file.size();
    Elf64_Ehdr header;
    if (!file.ReadAt(0, &header, sizeof header)) return std::nullopt;
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_ident[EI_DATA] != ELFDATA2LSB || header.e_shentsize != sizeof(Elf64_Shdr)) {
        return std::nullopt;
    }
    if (header.e_shoff == 0 || header.e_shoff > file_size ||
        uint64_t{header.e_shnum} * sizeof(Elf64_Shdr) > file_size - header.e_shoff) {
        return std::nullopt;
    }
    for (uint16_t i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr section;
        if (!file.ReadAt(header.e_shoff + uint64_t{i} * sizeof section, &section, sizeof section)) {
            return std::nullopt;
        }
        if (section.sh_type != SHT_NOTE || section.sh_size == 0 ||
            section.sh_size > kMaxNoteSection || section.sh_offset > file_size ||
            section.sh_size > file_size - section.sh_offset) {
            continue;
        }
        std::vector<char> notes(section.sh_size);
        if (!file.ReadAt(section.sh_offset, notes.data(), notes.size())) continue;
        if (auto at = FindVersionNote(notes)) return section.sh_offset + *at;
    }
    return std::nullopt;
}

}  // namespace

std::optional<FileVersion> ReadFileVersion(const std::string& path) {
    ReadOnlyFile file(path);
    const auto at = LocateVersionNote(file);
    unsigned char d[8];
    if (!at || !file.ReadAt(*at, d, sizeof d)) return std::nullopt;
    const auto part = [&d](int i) { return static_cast<uint16_t>(d[2 * i] | (d[2 * i + 1] << 8)); };
    return FileVersion{part(0), part(1), part(2), part(3)};
}

bool WriteFileVersion(const std::string& path, const FileVersion& version) {
    std::optional<uint64_t> at;
    {
        ReadOnlyFile file(path);
        at = LocateVersionNote(file);
    }
    if (!at) return false;
    const uint16_t parts[4] = {version.major, version.minor, version.build, version.revision};
    unsigned char bytes[8];
    for (int i = 0; i < 4; ++i) {
        bytes[2 * i] = static_cast<unsigned char>(parts[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<unsigned char>(parts[i] >> 8);
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool written = ::pwrite(fd, bytes, sizeof bytes, static_cast<off_t>(*at)) == sizeof bytes;
    return ::close(fd) == 0 && written;
}

}  // namespace TesselSoftware
