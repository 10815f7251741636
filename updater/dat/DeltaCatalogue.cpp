#include "dat/DeltaCatalogue.h"

#include "Common/Errors/ExceptionBase.h"
#include "dat/CatalogueText.h"

namespace TesselSoftware {

namespace {

constexpr char kPatchTable[] = "Multiple Patch Table";
constexpr char kResolver[] = "Incremental Resolver";

// Keys compare as the INI reader compares them: ASCII letters ignoring case.
std::string FoldedKey(std::string key) {
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return key;
}

}  // namespace

DeltaCatalogue::DeltaCatalogue(int32_t local_version, const std::string& path)
    : local_version_(local_version) {
    document_.Load(path);
    std::string value;
    if (!document_.GetValue("Contents", "CurrentVersion", &value)) {
        throw ExceptionBase(0, "Invalid delta file, cannot determine server current version");
    }
    const auto number = ParseLeadingInteger(value);
    if (!number || *number <= 0) {
        throw ExceptionBase(0, "Invalid delta file, cannot determine server current version. "
                               "Invalid value " + value);
    }
    server_version_ = static_cast<int32_t>(*number);
    IniSection resolver;
    if (document_.FindSection(kResolver, &resolver)) {
        resolver_.reserve(resolver.size());
        for (const IniEntry entry : resolver) resolver_.emplace(FoldedKey(std::string(entry.key)), std::string(entry.value));
    }
}

bool DeltaCatalogue::CanUpdate() const {
    if (server_version_ <= local_version_) return false;
    std::string patch;
    if (!document_.GetValue(kPatchTable, std::to_string(local_version_), &patch)) return false;
    std::string file;
    return document_.GetValue(kResolver, patch, &file);
}

std::vector<std::string> DeltaCatalogue::GetPatchFiles() const {
    const IniSection table = document_.GetSection(kPatchTable);
    std::vector<std::string> names;
    bool started = false;
    for (const IniEntry entry : table) {
        if (!started) {
            const auto key = ParseLeadingInteger(std::string(entry.key));
            started = key && *key == local_version_;
            if (!started) continue;
        }
        const auto file = resolver_.find(FoldedKey(std::string(entry.value)));
        names.push_back(file != resolver_.end() ? file->second : std::string());
    }
    return names;
}

}  // namespace TesselSoftware
