// RC4 stream cipher (key scheduling over 256 entries, output from i = j = 0,
// nothing discarded). Used only to scramble stored passwords, which keeps
// them from being read at a glance; it is not protection against an
// attacker who can read the store.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace TesselSoftware {

// XORs data with the key's RC4 stream; applying it twice restores data.
std::string Rc4Transform(std::string_view key, std::string_view data);

}  // namespace TesselSoftware
