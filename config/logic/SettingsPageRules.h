// The deciding rules of the configuration tool's two settings pages, apart
// from any widget: the check-frequency choice, which controls are enabled,
// and what Apply refuses. The pages only wire these to their controls.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace TesselSoftware::VexorConfig {

struct FrequencyItem {
    const char* text;
    int64_t seconds;
};
// The check-frequency list, in the order it is shown.
inline constexpr std::array<FrequencyItem, 4> kFrequencies = {{
    {"Update hourly", 3600},
    {"Every 30 minutes", 1800},
    {"Every 15 minutes", 900},
    {"Every 10 minutes", 600},
}};

// The interval the service keeps when asked for seconds: within the
// shortest and the longest of the list (600..3600).
int64_t StoredInterval(int64_t seconds);

// The item shown for the service's interval: the shortest listed interval
// that is not shorter than it (item 0 when none is).
size_t FrequencyIndexFor(int64_t service_interval);

// Which of a settings page's controls take input, for source type (0
// internet, 1 network share, 2 local folder) and the two proxy check boxes.
struct EnabledControls {
    bool url = false;             // with "Use Default" and the proxy check box
    bool proxy = false;           // server, port and the logon check box
    bool proxy_credentials = false;
    bool local_directory = false; // with its "Browse..."
    bool network_share = false;   // folder, "Browse...", user name, password
    bool operator==(const EnabledControls&) const = default;
};
EnabledControls EnablingRule(int32_t source_type, bool use_proxy, bool proxy_requires_logon);

// "" when a proxy port (as typed) can be sent, else the message that
// refuses it. Ports are 0..65535 on both pages; 0 passes.
std::string ProxyPortError(int64_t port);
inline constexpr char kProxyPortMessage[] = "The proxy port number must be between 1 and 65535.";

// "" when the DAT page's URL parses as an update-site address (checked
// whatever the source type), else "Invalid URL".
std::string SourceUrlError(const std::string& url);
// "" when url parses as an update-site address, else why not, for a
// command line: "not an address of the form scheme://host/path ...".
std::string SourceUrlProblem(const std::string& url);

}  // namespace TesselSoftware::VexorConfig
