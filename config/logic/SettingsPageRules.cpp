#include "logic/SettingsPageRules.h"

#include <algorithm>

#include "sources/UrlParser.h"

namespace TesselSoftware::VexorConfig {

size_t FrequencyIndexFor(int64_t service_interval) {
    size_t selected = 0;
    for (size_t i = 1; i < kFrequencies.size(); ++i) {
        if (kFrequencies[i].seconds >= service_interval) selected = i;
    }
    return selected;
}

EnabledControls EnablingRule(int32_t source_type, bool use_proxy, bool proxy_requires_logon) {
    EnabledControls enabled;
    enabled.url = source_type == 0;
    enabled.proxy = enabled.url && use_proxy;
    enabled.proxy_credentials = enabled.proxy && proxy_requires_logon;
    enabled.local_directory = source_type == 2;
    enabled.network_share = source_type == 1;
    return enabled;
}

std::string ProxyPortError(int64_t port) { return port < 0 || port > 65535 ? kProxyPortMessage : ""; }

int64_t StoredInterval(int64_t seconds) {
    return std::clamp(seconds, kFrequencies.back().seconds, kFrequencies.front().seconds);
}

std::string SourceUrlError(const std::string& url) { return SourceUrlProblem(url).empty() ? "" : "Invalid URL"; }

std::string SourceUrlProblem(const std::string& url) {
    ParsedUrl parsed;
    if (!parsed.Parse(url)) {
        return "not an address of the form scheme://host/path with the scheme http, https, ftp or file";
    }
    if (parsed.scheme != kSchemeFile && parsed.host.empty()) return "the address names no host";
    return "";
}

}  // namespace TesselSoftware::VexorConfig
