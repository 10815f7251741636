#include "dat/IniFile.h"

#include <strings.h>

#include <cstdio>
#include <memory>

#include "Common/Errors/ExceptionBase.h"

namespace TesselSoftware {

namespace {

constexpr int kLineBuffer = 1023;  // one read returns at most 1022 bytes

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (end > begin && IsSpace(text[end - 1])) --end;
    while (begin < end && IsSpace(text[begin])) ++begin;
    return text.substr(begin, end - begin);
}

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

bool IniFile::CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
    const int order = strncasecmp(a.data(), b.data(), std::min(a.size(), b.size()));
    return order != 0 ? order < 0 : a.size() < b.size();
}

void IniFile::Load(const std::string& path) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "r"));
    if (!file) throw ExceptionBase(0, "Cannot open '" + path + "'");
    std::vector<IniEntry>* current = nullptr;
    char buffer[kLineBuffer];
    while (std::fgets(buffer, sizeof buffer, file.get()) != nullptr) {
        const std::string line = Trim(buffer);
        if (line.empty()) continue;
        if (line[0] == '[') {
            if (line.back() != ']' || line.size() < 2) {
                throw ExceptionBase(0, "Invalid line: " + line);
            }
            const std::string name = line.substr(1, line.size() - 2);
            current = &sections_[name];
            current->clear();  // a repeated section replaces the earlier one
            continue;
        }
        if (current == nullptr) throw ExceptionBase(0, "Invalid entry, does not belong in a section");
        const size_t cut = line.find_first_of("= ");
        if (cut == std::string::npos) throw ExceptionBase(0, "Invalid entry: " + line);
        current->push_back({line.substr(0, cut), line.substr(cut + 1)});
    }
}

bool IniFile::FindSection(const std::string& name, const std::vector<IniEntry>** entries) const {
    const auto it = sections_.find(name);
    if (it == sections_.end()) return false;
    *entries = &it->second;
    return true;
}

const std::vector<IniEntry>& IniFile::GetSection(const std::string& name) const {
    const std::vector<IniEntry>* entries = nullptr;
    if (!FindSection(name, &entries)) throw ExceptionBase(0, "Section '" + name + "' not found");
    return *entries;
}

bool IniFile::GetValue(const std::string& section, const std::string& key, std::string* value) const {
    const std::vector<IniEntry>* entries = nullptr;
    if (!FindSection(section, &entries)) return false;
    const IniEntry* entry = FindIniEntry(*entries, key);
    if (entry == nullptr) return false;
    *value = entry->value;
    return true;
}

const IniEntry* FindIniEntry(const std::vector<IniEntry>& entries, const std::string& key) {
    for (const IniEntry& entry : entries) {
        if (EqualIgnoringCase(entry.key, key)) return &entry;
    }
    return nullptr;
}

}  // namespace TesselSoftware
