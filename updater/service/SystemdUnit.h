// The systemd unit that runs the updater as a service.
#pragma once

#include <optional>
#include <string>

namespace TesselSoftware {

inline constexpr char kServiceUnitName[] = "VexorDatUpdater64.service";

// path as one quoted word of an ExecStart= line: "\" and '"' escaped, "%"
// doubled (specifiers) and "$" doubled (variables). nullopt when path is not
// absolute or holds a control character, which a unit cannot carry.
std::optional<std::string> QuoteExecPath(const std::string& path);

// The unit's text: Type=notify, the quoted program, KillMode=mixed, a stop
// time-out long enough for a pass, Restart=on-failure and the hardening
// switches. system_root (VEXOR_SYSTEM_ROOT, may be empty) is passed on to
// the service. REQUIRES: QuoteExecPath(program) succeeds.
std::string ServiceUnitText(const std::string& program, const std::string& system_root);

// Where the unit is installed: the machine layout's unit directory.
std::string ServiceUnitPath();

}  // namespace TesselSoftware
