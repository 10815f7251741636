#include "Common/Platform/MachineLayout.h"

#include <cstdlib>

namespace TesselSoftware::MachineLayout {

namespace {

std::string UnderRoot(const char* absolute_default) { return SystemRoot() + absolute_default; }

}  // namespace

std::string SystemRoot() {
    const char* root = std::getenv("VEXOR_SYSTEM_ROOT");
    if (root == nullptr) return {};
    std::string value = root;
    while (value.size() > 1 && value.back() == '/') value.pop_back();
    if (value == "/") return {};
    return value;
}

std::string RegistryStorePath() { return UnderRoot("/var/lib/vexor/registry.db"); }
std::string SecretsStorePath() { return UnderRoot("/var/lib/vexor/secrets.db"); }
std::string RuntimeDirectory() { return UnderRoot("/run/vexor"); }
std::string LockDirectory() { return UnderRoot("/run/lock"); }
std::string SystemdUnitDirectory() { return UnderRoot("/etc/systemd/system"); }
std::string CaBundlePath() { return UnderRoot("/etc/ssl/certs/ca-certificates.crt"); }
std::string CrashDirectory() { return UnderRoot("/var/lib/vexor/crash"); }
std::string TrustedKeysDirectory() { return UnderRoot("/etc/vexor/trusted-keys"); }
std::string DefaultInstallPath() { return UnderRoot("/opt/vexor/"); }
std::string DefaultDatFolder() { return UnderRoot("/var/lib/vexor/dat"); }
std::string DefaultLogPath() { return UnderRoot("/var/log/vexor"); }

}  // namespace TesselSoftware::MachineLayout
