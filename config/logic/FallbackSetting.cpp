#include "logic/FallbackSetting.h"

#include <algorithm>

#include "Common/FallbackSites.h"
#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "logic/SettingsPageRules.h"

namespace TesselSoftware::VexorConfig {

namespace {

const char* ValueName(bool dat) { return dat ? kDatFallbackSitesValue : kEngineFallbackSitesValue; }

}  // namespace

std::optional<std::vector<std::string>> ReadFallbackSetting(bool dat) {
    try {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
        std::vector<std::string> sites;
        key.ReadMultiString(ValueName(dat), false, &sites);
        return sites;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::vector<std::string> ParseFallbackList(const std::string& text, std::string* problem) {
    problem->clear();
    std::vector<std::string> sites;
    if (text.empty()) return sites;
    for (size_t start = 0;;) {
        const size_t comma = text.find(',', start);
        sites.push_back(text.substr(start, comma == std::string::npos ? comma : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (sites.size() > kMaxFallbackSites) {
        *problem = "at most " + std::to_string(kMaxFallbackSites) + " fallback sites";
        return {};
    }
    for (const std::string& site : sites) {
        if (!UsableSiteAddress(site)) {
            *problem = "'" + site + "' is not a site address";
        } else if (site.find("://") != std::string::npos) {
            if (const std::string url = SourceUrlProblem(site); !url.empty()) {
                *problem = "'" + site + "': " + url;
            }
        } else if (site[0] != '/') {
            *problem = "'" + site + "' is neither a site URL nor an absolute folder";
        }
        if (!problem->empty()) return {};
    }
    return sites;
}

std::string WriteFallbackSetting(bool dat, const std::vector<std::string>& sites) {
    try {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
        key.WriteMultiString(ValueName(dat), sites);
        return {};
    } catch (const std::exception& e) {
        return std::string("fallback is kept in the settings store, which only root may change (") + e.what() + ")";
    }
}

}  // namespace TesselSoftware::VexorConfig
