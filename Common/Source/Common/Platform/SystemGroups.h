// The machine's groups by name, as the system's accounts are arranged:
// "vexor" (the gateway's account reads) and "vexor-admin" (administrators).
#pragma once

#include <sys/types.h>

#include <optional>

namespace TesselSoftware {

// The id of the group called name, or none when the machine has no such
// group (or name is nullptr). Safe from any thread.
std::optional<gid_t> GroupId(const char* name);

}  // namespace TesselSoftware
