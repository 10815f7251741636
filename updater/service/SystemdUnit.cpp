#include "service/SystemdUnit.h"

#include "Common/Platform/MachineLayout.h"

namespace TesselSoftware {

namespace {

// text as one double-quoted word of a unit setting; "$" is doubled only
// where the setting expands variables.
std::optional<std::string> Quote(const std::string& text, bool expands_variables) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return std::nullopt;
        if (c == '\\' || c == '"') quoted += '\\';
        if (c == '%' || (c == '$' && expands_variables)) quoted += c;
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

std::optional<std::string> QuoteExecPath(const std::string& path) {
    if (path.empty() || path[0] != '/') return std::nullopt;
    return Quote(path, true);
}

std::string ServiceUnitText(const std::string& program, const std::string& system_root) {
    std::string text =
        "[Unit]\n"
        "Description=Tessel Vexor Updater (64 bit)\n"
        "After=network-online.target\n"
        "Wants=network-online.target\n"
        "\n"
        "[Service]\n"
        "Type=notify\n"
        "ExecStart=" + QuoteExecPath(program).value_or("") + "\n";
    if (!system_root.empty()) {
        if (const auto setting = Quote("VEXOR_SYSTEM_ROOT=" + system_root, false)) {
            text += "Environment=" + *setting + "\n";
        }
    }
    text +=
        // The archive tool is not killed before the pass it serves has ended.
        "KillMode=mixed\n"
        // The service extends this while a pass runs.
        "TimeoutStopSec=900\n"
        "Restart=on-failure\n"
        "RestartSec=10\n"
        "NoNewPrivileges=yes\n"
        "PrivateTmp=yes\n"
        "ProtectSystem=full\n"
        "ProtectHome=yes\n"
        "RuntimeDirectory=vexor\n"
        "RuntimeDirectoryMode=0755\n"
        // The update pass lock lives there: a one-shot run that holds it
        // must not lose it when the service stops.
        "RuntimeDirectoryPreserve=yes\n"
        "\n"
        "[Install]\n"
        "WantedBy=multi-user.target\n";
    return text;
}

std::string ServiceUnitPath() { return MachineLayout::SystemdUnitDirectory() + "/" + kServiceUnitName; }

}  // namespace TesselSoftware
