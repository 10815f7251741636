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
#pragma once

#include <map>
#include <string>
#include <vector>

namespace TesselSoftware {

struct IniEntry {
    std::string key;
    std::string value;
};

class IniFile {
public:
    // Parses path. Throws ExceptionBase (code 0) "Cannot open '<path>'",
    // "Invalid line: <line>", "Invalid entry, does not belong in a section"
    // or "Invalid entry: <line>"; sections parsed before an error stay.
    // Physical lines longer than 1022 bytes are read as several lines.
    void Load(const std::string& path);
    void Clear() { sections_.clear(); }

    // Never throws; *entries points into the document.
    bool FindSection(const std::string& name, const std::vector<IniEntry>** entries) const;
    // Throws ExceptionBase "Section '<name>' not found".
    const std::vector<IniEntry>& GetSection(const std::string& name) const;
    bool GetValue(const std::string& section, const std::string& key, std::string* value) const;

private:
    struct CaseInsensitiveLess {
        bool operator()(const std::string& a, const std::string& b) const;
    };
    std::map<std::string, std::vector<IniEntry>, CaseInsensitiveLess> sections_;
};

// The first entry whose key equals key ignoring case, or nullptr.
const IniEntry* FindIniEntry(const std::vector<IniEntry>& entries, const std::string& key);

}  // namespace TesselSoftware
