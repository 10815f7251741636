#include "dat/DeltaCatalogue.h"

#include "dat/CatalogueText.h"
#include "Common/ExceptionBase.h"

namespace TesselSoftware {

namespace {

constexpr char kPatchTable[] = "Multiple Patch Table";
constexpr char kResolver[] = "Incremental Resolver";

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
}

bool DeltaCatalogue::CanUpdate() const {
    if (server_version_ <= local_version_) return false;
    std::string patch;
    if (!document_.GetValue(kPatchTable, std::to_string(local_version_), &patch)) return false;
    std::string file;
    return document_.GetValue(kResolver, patch, &file);
}

std::vector<std::string> DeltaCatalogue::GetPatchFiles() const {
    const std::vector<IniEntry>& table = document_.GetSection(kPatchTable);
    const std::vector<IniEntry>* resolver = nullptr;
    document_.FindSection(kResolver, &resolver);
    std::vector<std::string> names;
    bool started = false;
    for (const IniEntry& entry : table) {
        if (!started) {
            const auto key = ParseLeadingInteger(entry.key);
            started = key && *key == local_version_;
            if (!started) continue;
        }
        const IniEntry* file = resolver ? FindIniEntry(*resolver, entry.value) : nullptr;
        names.push_back(file ? file->value : std::string());
    }
    return names;
}

}  // namespace TesselSoftware
