// IniFile: the strict reader of the update sites' catalogues ("oem.ini",
// "avvdat.ini", the delta catalogue, the engine update files).
//
//   IniFile ini;
//   ini.Load(path);                          // throws ExceptionBase
//   std::string version;
//   if (ini.GetValue("AVV-ZIP", "DATVersion", &version)) ...
//
// Grammar: "[name]" headers (name kept untrimmed) and entries cut at the
// first "=" or space into key and value; lines are trimmed, blank lines
// skipped, and anything else fails the whole load. Section names and keys
// compare ignoring ASCII case; a repeated section replaces the earlier one;
// duplicate keys are kept and lookups find the first.
//
// A catalogue comes from an update source, so memory is bounded by the
// file: its text is held once, each line at most 16 bytes of offsets into
// it (reserved once, no growth by doubling), and at most kMaxSections
// sections are accepted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace TesselSoftware {

// One entry; the views point into the IniFile that gave it and live as
// long as its document.
struct IniEntry {
    std::string_view key;
    std::string_view value;
};

// The entries of one section, in file order: a view into an IniFile.
class IniSection {
public:
    struct Slot {
        uint32_t key_begin, key_length, value_begin, value_length;
    };
    IniSection() = default;
    IniSection(const std::string* text, const Slot* slots, size_t count) : text_(text), slots_(slots), count_(count) {}

    size_t size() const { return count_; }
    bool empty() const { return size() == 0; }
    IniEntry operator[](size_t index) const;

    class Iterator {
    public:
        Iterator(const IniSection* section, size_t index) : section_(section), index_(index) {}
        IniEntry operator*() const { return (*section_)[index_]; }
        Iterator& operator++() {
            ++index_;
            return *this;
        }
        bool operator!=(const Iterator& other) const { return index_ != other.index_; }

    private:
        const IniSection* section_;
        size_t index_;
    };
    Iterator begin() const { return Iterator(this, 0); }
    Iterator end() const { return Iterator(this, size()); }

private:
    const std::string* text_ = nullptr;
    const Slot* slots_ = nullptr;
    size_t count_ = 0;
};

class IniFile {
public:
    // More sections than this fail the load: catalogues have a handful.
    static constexpr size_t kMaxSections = 1024;

    IniFile() = default;
    IniFile(const IniFile&) = delete;  // sections point into text_
    IniFile& operator=(const IniFile&) = delete;

    // Parses path. Throws ExceptionBase (code 0) "Cannot open '<path>'",
    // "Invalid line: <line>", "Invalid entry, does not belong in a section",
    // "Invalid entry: <line>" or "Too many sections"; sections parsed before
    // an error stay. Physical lines longer than 1022 bytes are read as
    // several lines.
    void Load(const std::string& path);
    void Clear();

    // Never throws; *section views the document.
    bool FindSection(const std::string& name, IniSection* section) const;
    // Throws ExceptionBase "Section '<name>' not found".
    IniSection GetSection(const std::string& name) const;
    bool GetValue(const std::string& section, const std::string& key, std::string* value) const;

private:
    struct CaseInsensitiveLess {
        bool operator()(const std::string& a, const std::string& b) const;
    };
    struct Range {
        size_t begin = 0, end = 0;  // indices into slots_
    };
    std::string text_;
    std::vector<IniSection::Slot> slots_;  // every entry in file order, reserved once
    std::map<std::string, Range, CaseInsensitiveLess> sections_;
};

// The first entry whose key equals key ignoring case.
std::optional<IniEntry> FindIniEntry(const IniSection& entries, std::string_view key);

}  // namespace TesselSoftware
