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

// The folders the service writes, each optional ("-"): the stores, crash
// reports and DAT sets, the logs, the installation (engines) and the
// registry lock's folder.
std::string WritableFolders(const std::string& system_root) {
    std::string list;
    for (const char* folder : {"/var/lib/vexor", "/var/log/vexor", "/opt/vexor", "/run/lock"}) {
        if (const auto quoted = Quote(system_root + folder, false)) list += (list.empty() ? "-" : " -") + *quoted;
    }
    return list;
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
        // The capabilities the service uses, and nothing else:
        //   CAP_SYS_ADMIN  the engine check's namespaces and read-only root;
        //   CAP_SETUID, CAP_SETGID  the check becomes the account vexor-check;
        //   CAP_SETPCAP  the check empties its capability bounding set;
        //   CAP_CHOWN  the store, its lock and the endpoint get their groups.
        // Without CAP_DAC_OVERRIDE the service reads a source folder as any
        // root-owned process would: the folder must let root read it.
        "CapabilityBoundingSet=CAP_SYS_ADMIN CAP_SETUID CAP_SETGID CAP_SETPCAP CAP_CHOWN\n"
        "AmbientCapabilities=\n"
        // Everything is read-only but the service's own folders; a DAT
        // folder, install path or log path configured elsewhere needs a
        // drop-in with ReadWritePaths= (the README says how).
        "ProtectSystem=strict\n"
        "ReadWritePaths=" + WritableFolders(system_root) + "\n"
        "PrivateTmp=yes\n"
        "PrivateDevices=yes\n"
        "PrivateMounts=yes\n"
        "ProtectHome=yes\n"
        "ProtectKernelTunables=yes\n"
        "ProtectKernelModules=yes\n"
        "ProtectKernelLogs=yes\n"
        "ProtectControlGroups=yes\n"
        "ProtectClock=yes\n"
        "ProtectHostname=yes\n"
        "ProtectProc=invisible\n"
        // Update sites (IPv4, IPv6, names through netlink), the endpoint,
        // the journal and the share client.
        "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK\n"
        // Exactly the namespaces the engine check's sandbox takes.
        "RestrictNamespaces=mnt pid net ipc uts\n"
        "RestrictRealtime=yes\n"
        "RestrictSUIDSGID=yes\n"
        "LockPersonality=yes\n"
        "MemoryDenyWriteExecute=yes\n"
        "SystemCallArchitectures=native\n"
        // @mount for the check's read-only root.
        "SystemCallFilter=@system-service @mount\n"
        "SystemCallErrorNumber=EPERM\n"
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
