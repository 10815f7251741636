// Replacing a file so that a reader sees either the old text or the new,
// never part of it: a temporary file beside it, flushed to disk, then
// renamed over it.
//
//   if (const std::string failure = WriteFileAtomically(path, text); !failure.empty()) ...
#pragma once

#include <string>

namespace TesselSoftware {

// "" when path holds text; otherwise why not ("cannot write PATH: ...")
// and path is as it was, with no temporary file left beside it.
std::string WriteFileAtomically(const std::string& path, const std::string& text);

}  // namespace TesselSoftware
