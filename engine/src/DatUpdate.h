// Building the next DAT set from the current one and a chain of patches.
#pragma once

#include <cstdint>

#include "Common/Engine/EngineContract.h"
#include "RequestParser.h"

namespace VexorEngine {

// Applies request.patches in order to request.current and writes the result
// to request.next. Reports 1067 with the current version, then 1068 with the
// reached version and returns 0, or 1069 with the status it returns. On
// failure no new file is left behind, so nothing at the new paths can pass
// for a complete set.
uint16_t RunUpdate(const UpdateRequest& request, const void* context);

}  // namespace VexorEngine
