// The registry key where the service, the plug-in and the tools meet.
#pragma once

namespace TesselSoftware {

// Below HKEY_LOCAL_MACHINE.
inline constexpr char kProductKeyPath[] = "SOFTWARE\\Quorvane\\Vexor for Tessel";

// The ordered further sites of each kind of source (REG_MULTI_SZ, written
// by root only): the service turns to them when a pass fails on a site.
inline constexpr char kDatFallbackSitesValue[] = "FallbackSites";
inline constexpr char kEngineFallbackSitesValue[] = "EngineUpdateFallbackSites";

}  // namespace TesselSoftware
