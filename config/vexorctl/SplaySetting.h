// UpdateSplaySeconds, the spread of this machine's checks. The control
// endpoint does not carry it, so vexorctl reads it from the settings store
// (group vexor may) and writes it there (root only); the service takes it
// up when it next reads the store, at the start of its next pass.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace TesselSoftware::VexorCtl {

inline constexpr char kSplayValueName[] = "UpdateSplaySeconds";

// The stored value (0 when none is stored), or nullopt when the store
// cannot be read.
std::optional<int64_t> ReadSplaySetting();

// "" when seconds (0..3600) was stored; otherwise why not.
std::string WriteSplaySetting(int64_t seconds);

}  // namespace TesselSoftware::VexorCtl
