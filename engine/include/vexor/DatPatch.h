// Patches that turn one DAT set's three files (avvscan.dat, avvnames.dat,
// avvclean.dat) into the next version's.
//
// A patch names its from- and to-version and, per file, the size and CRC-32
// of the input it expects and of the output it produces; the body is a list
// of copy (from the input) and insert (new bytes) operations. A chain of
// patches is applied in order, each to the output of the one before.
//
// Usage (publisher):
//   std::string patch, error;
//   if (!VexorEngine::MakePatch(old_files, new_files, &patch, &error)) { ... }
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vexor/DatFormat.h"

namespace VexorEngine {

inline constexpr size_t kPatchHeaderSize = 32;
inline constexpr uint16_t kPatchFormatVersion = 1;
inline constexpr size_t kMaxPatchSize = size_t{256} << 20;

struct PatchInfo {
    uint32_t from_version = 0;
    uint32_t to_version = 0;
    uint16_t to_dos_date = 0;
};

// Computes the patch from `from` to `to` (extra.dat is not patched). Both sets
// must decode; their versions become the patch's from- and to-version.
bool MakePatch(const DatFiles& from, const DatFiles& to, std::string* patch, std::string* error);

// Checks the patch's header and checksum and fills *info.
bool ReadPatchInfo(std::string_view patch, PatchInfo* info, std::string* error);

// Applies the patch to *files after checking that each input has the size and
// checksum the patch expects; checks each output the same way. On failure
// *files is unchanged. files->extra is left as it is.
bool ApplyPatch(std::string_view patch, DatFiles* files, PatchInfo* info, std::string* error);

}  // namespace VexorEngine
