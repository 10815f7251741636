#include "dat/IniFile.h"

#include <strings.h>

#include <algorithm>
#include <fstream>

#include "Common/Errors/ExceptionBase.h"

namespace TesselSoftware {

namespace {

constexpr size_t kMaxReadBytes = 1022;  // one line read takes at most this much

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

IniEntry IniSection::operator[](size_t index) const {
    const Slot& slot = slots_[index];
    const std::string_view text(*text_);
    return {text.substr(slot.key_begin, slot.key_length), text.substr(slot.value_begin, slot.value_length)};
}

bool IniFile::CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
    const int order = strncasecmp(a.data(), b.data(), std::min(a.size(), b.size()));
    return order != 0 ? order < 0 : a.size() < b.size();
}

void IniFile::Clear() {
    sections_.clear();
    slots_.clear();
    text_.clear();
}

void IniFile::Load(const std::string& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    if (!file) throw ExceptionBase(0, "Cannot open '" + path + "'");
    // The text is held once, read at its size (no growth by doubling);
    // sections keep offsets into it. A document loaded before is dropped.
    Clear();
    const std::streamoff size = file.tellg();
    if (size < 0 || static_cast<uint64_t>(size) > UINT32_MAX) throw ExceptionBase(0, "Cannot open '" + path + "'");
    text_.resize(static_cast<size_t>(size));
    file.seekg(0);
    if (!file.read(text_.data(), size)) throw ExceptionBase(0, "Cannot open '" + path + "'");
    // At most one entry per read; a read ends at a line break or after
    // kMaxReadBytes.
    const size_t breaks = static_cast<size_t>(std::count(text_.begin(), text_.end(), '\n'));
    slots_.reserve(breaks + text_.size() / kMaxReadBytes + 1);
    Range* current = nullptr;
    size_t position = 0;
    while (position < text_.size()) {
        // One read: up to and including a line break, at most 1022 bytes.
        size_t end = text_.find('\n', position);
        end = end == std::string::npos ? text_.size() : end + 1;
        end = std::min(end, position + kMaxReadBytes);
        size_t begin = position;
        position = end;
        while (end > begin && IsSpace(text_[end - 1])) --end;
        while (begin < end && IsSpace(text_[begin])) ++begin;
        if (begin == end) continue;
        const std::string_view line(text_.data() + begin, end - begin);
        if (line[0] == '[') {
            if (line.back() != ']' || line.size() < 2) {
                throw ExceptionBase(0, "Invalid line: " + std::string(line));
            }
            const std::string name(line.substr(1, line.size() - 2));
            if (sections_.size() >= kMaxSections && sections_.find(name) == sections_.end()) {
                throw ExceptionBase(0, "Too many sections");
            }
            current = &sections_[name];
            // A repeated section replaces the earlier one.
            current->begin = current->end = slots_.size();
            continue;
        }
        if (current == nullptr) throw ExceptionBase(0, "Invalid entry, does not belong in a section");
        const size_t cut = line.find_first_of("= ");
        if (cut == std::string_view::npos) throw ExceptionBase(0, "Invalid entry: " + std::string(line));
        // Entries of one section are contiguous: a section ends where the
        // next header begins.
        slots_.push_back({static_cast<uint32_t>(begin), static_cast<uint32_t>(cut),
                          static_cast<uint32_t>(begin + cut + 1), static_cast<uint32_t>(line.size() - cut - 1)});
        current->end = slots_.size();
    }
}

bool IniFile::FindSection(const std::string& name, IniSection* section) const {
    const auto it = sections_.find(name);
    if (it == sections_.end()) return false;
    *section = IniSection(&text_, slots_.data() + it->second.begin, it->second.end - it->second.begin);
    return true;
}

IniSection IniFile::GetSection(const std::string& name) const {
    IniSection section;
    if (!FindSection(name, &section)) throw ExceptionBase(0, "Section '" + name + "' not found");
    return section;
}

bool IniFile::GetValue(const std::string& section, const std::string& key, std::string* value) const {
    IniSection entries;
    if (!FindSection(section, &entries)) return false;
    const std::optional<IniEntry> entry = FindIniEntry(entries, key);
    if (!entry) return false;
    *value = std::string(entry->value);
    return true;
}

std::optional<IniEntry> FindIniEntry(const IniSection& entries, std::string_view key) {
    for (const IniEntry entry : entries) {
        if (EqualIgnoringCase(entry.key, key)) return entry;
    }
    return std::nullopt;
}

}  // namespace TesselSoftware
