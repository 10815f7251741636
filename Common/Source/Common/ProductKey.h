// The registry key where the service, the plug-in and the tools meet.
#pragma once

namespace TesselSoftware {

// Below HKEY_LOCAL_MACHINE.
inline constexpr char kProductKeyPath[] = "SOFTWARE\\Quorvane\\Vexor for Tessel";

}  // namespace TesselSoftware
