// Spreads a fleet's checks: a machine adds a fixed offset in [0, splay) to
// every next check, derived from its machine id, so gateways started
// together do not all ask the update site in the same second.
//
//   next_check = last_check + interval + SplayOffset(MachineIdentity(), splay);
#pragma once

#include <cstdint>
#include <string>

namespace TesselSoftware {

// UpdateSplaySeconds: default 0 (no offset), at most an hour.
inline constexpr int64_t kMaxUpdateSplaySeconds = 3600;

// The offset for a machine: the same for the same identity and splay, in
// [0, splay); 0 when splay is 0 or less. splay above the maximum counts as
// the maximum.
int64_t SplayOffset(const std::string& machine_identity, int64_t splay);

// The first line of /etc/machine-id under the system root; the host name
// when there is none (or it is empty).
std::string MachineIdentity();

}  // namespace TesselSoftware
