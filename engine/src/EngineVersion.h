// The version this engine library was built as (also in its ELF note).
#pragma once

#include <cstdint>

namespace VexorEngine {

struct EngineVersion {
    uint16_t major, minor, build, revision;
};

// Defined by the version note of each engine variant.
const EngineVersion& BuiltEngineVersion();

}  // namespace VexorEngine
