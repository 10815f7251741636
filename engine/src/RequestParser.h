// Validation of the records that callers hand to the entry points. Nothing
// here trusts a size, count, length or tag; pointers are trusted to point at
// readable memory of the size their record declares, since no check could
// establish that.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Common/Engine/EngineContract.h"

namespace VexorEngine {

inline constexpr size_t kMaxPathLength = 4096;
inline constexpr uint16_t kMaxRequestItems = 64;
inline constexpr uint32_t kMaxPatchFiles = 4096;

struct InitRequest {
    EngineCallbackFn callback = nullptr;
    std::vector<std::string> dat_paths;  // scan, names, clean[, extra]
    std::string engine_folder;
};

struct ScanRequest {
    EngineCallbackFn callback = nullptr;  // null when the request has no tag 100
    uint64_t context = 0;
    std::string path;
    bool clean = false;
};

struct UpdateRequest {
    std::vector<std::string> current, next, patches;
    UpdateProgressCallbackFn callback = nullptr;
    std::string engine_folder;
};

// Each returns kEngineStatusOk and fills *out, or a non-zero EngineStatus.
uint16_t ParseInitRequest(const EngineRequest* request, InitRequest* out);
uint16_t ParseScanRequest(const EngineRequest* request, ScanRequest* out);
// Reads the parameters first, so that *callback is known (and filled in)
// even when the file set turns out to be malformed.
uint16_t ParseUpdateRequest(const UpdateFileSet* files, const UpdateParameterList* parameters,
                            UpdateRequest* out);

}  // namespace VexorEngine
