// DeltaCatalogue: the source's catalogue of DAT patches, which says the
// newest version the patches lead to and which patch starts at each version.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "dat/IniFile.h"

namespace TesselSoftware {

class DeltaCatalogue {
public:
    // Loads and checks path; throws ExceptionBase "Invalid delta file, cannot
    // determine server current version" (". Invalid value <v>" when the
    // value reads as 0) or the INI reader's texts.
    DeltaCatalogue(int32_t local_version, const std::string& path);

    int32_t ServerVersion() const { return server_version_; }
    // A chain starts at the local version and leads somewhere newer.
    bool CanUpdate() const;
    // Patch file names from the local version's entry to the end of the
    // table, in file order ("" where the resolver lacks an identifier).
    std::vector<std::string> GetPatchFiles() const;

private:
    int32_t local_version_;
    int32_t server_version_ = 0;
    IniFile document_;
    // [Incremental Resolver], indexed once: lower-cased identifier -> the
    // value of its first entry. Catalogues hold hundreds of thousands.
    std::unordered_map<std::string, std::string> resolver_;
};

}  // namespace TesselSoftware
