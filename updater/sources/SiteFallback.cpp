#include "sources/SiteFallback.h"

#include <algorithm>

#include "Common/Errors/ExceptionBase.h"
#include "Common/FallbackSites.h"
#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"

namespace TesselSoftware {

namespace {

void SetSiteAddress(SourceSettings& site, int32_t source_type, const std::string& address) {
    if (source_type == LocalFolder) {
        site.SetLocalDirectory(address);
    } else if (source_type == NetworkShare) {
        site.SetShareDirectory(address);
    } else {
        site.SetAddress(address);
    }
}

// A reason on one line, without the line breaks passes end theirs with.
std::string OneLine(std::string text) {
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

}  // namespace

std::vector<std::string> ReadFallbackSites(const char* value_name) {
    std::vector<std::string> stored, sites;
    try {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
        key.ReadMultiString(value_name, false, &stored);
    } catch (const ExceptionBase&) {
        return sites;  // no product key, or a value of another type: no fallback
    }
    for (const std::string& address : stored) {
        if (sites.size() == kMaxFallbackSites) break;
        if (UsableSiteAddress(address)) sites.push_back(address);
    }
    return sites;
}

std::string SiteAddress(const SourceSettings& configured, int32_t source_type) {
    if (source_type == LocalFolder) return configured.LocalDirectory();
    if (source_type == NetworkShare) return configured.ShareDirectory();
    return configured.Address();
}

bool RunOverSites(SourceSettings& configured, int32_t source_type, const std::vector<std::string>& fallbacks,
                  IUpdateProgress& progress, const std::function<bool(SourceSettings& site)>& attempt) {
    if (fallbacks.empty()) return attempt(configured);
    std::string failures;
    for (size_t i = 0; i <= fallbacks.size(); ++i) {
        // A site of its own for each attempt: the configured source's
        // settings with the fallback's address, never saved.
        SourceSettings site("");
        site.TakeUnchanged(configured.Values());
        if (i > 0) SetSiteAddress(site, source_type, fallbacks[i - 1]);
        const std::string address = SiteAddress(site, source_type);
        try {
            return attempt(site);
        } catch (const ExceptionBase& e) {
            if (progress.IsCancelled()) throw;
            const std::string reason = OneLine(e.Message());
            failures += (failures.empty() ? "'" : "; '") + address + "': " + reason;
            if (i < fallbacks.size()) {
                progress.AddMessageText("The update site '" + address + "' failed (" + reason +
                                        "); the pass starts again from '" + fallbacks[i] + "'.");
            }
        }
    }
    throw CTLVexorNetException(0, "Every update site failed: " + failures);
}

}  // namespace TesselSoftware
