#include "logic/SettingsPageRules.h"

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

std::string SourceUrlError(const std::string& url) {
    ParsedUrl parsed;
    return parsed.Parse(url) ? "" : "Invalid URL";
}

}  // namespace TesselSoftware::VexorConfig
