// Machine-wide locations shared by the service, the plug-in and the tools.
//
// Each location has a Linux default; when VEXOR_SYSTEM_ROOT is set, every
// location is placed under that folder instead, so tests, the demo and CI run
// unprivileged in a scratch tree. The variable is read on every call.
#pragma once

#include <string>

namespace TesselSoftware::MachineLayout {

// The value of VEXOR_SYSTEM_ROOT without a trailing "/", or "" when unset.
std::string SystemRoot();

// Registry store database file: /var/lib/vexor/registry.db.
std::string RegistryStorePath();
// The root-only store of the sources' passwords: /var/lib/vexor/secrets.db.
std::string SecretsStorePath();
// Runtime directory holding the RPC socket: /run/vexor.
std::string RuntimeDirectory();
// Directory of the machine-wide lock files: /run/lock.
std::string LockDirectory();
// Where the service unit is installed: /etc/systemd/system.
std::string SystemdUnitDirectory();
// The machine's trusted root certificates (PEM): /etc/ssl/certs/ca-certificates.crt.
std::string CaBundlePath();
// Where crash reports are written: /var/lib/vexor/crash.
std::string CrashDirectory();
// The update publisher's trusted minisign public keys (*.pub): /etc/vexor/trusted-keys.
std::string TrustedKeysDirectory();

// Defaults of the installation settings kept in the registry store, used
// when the store has none: /opt/vexor/, /var/lib/vexor/dat, /var/log/vexor.
std::string DefaultInstallPath();
std::string DefaultDatFolder();
std::string DefaultLogPath();

}  // namespace TesselSoftware::MachineLayout
