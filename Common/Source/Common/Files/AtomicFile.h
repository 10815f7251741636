// Replacing a file so that a reader sees either the old text or the new,
// never part of it: a temporary file beside it, flushed to disk, then
// renamed over it.
//
//   if (const std::string failure = WriteFileAtomically(path, text); !failure.empty()) ...
#pragma once

#include <string>

namespace TesselSoftware {

// "" when path holds text; otherwise why not ("cannot write PATH: ...")
// and path is as it was, with no temporary file left beside it. The file is
// written only into the folder path names: that folder is opened without
// following a link at its last component and must belong to root or to
// this account (another owner could swap in a link), the temporary is
// created exclusively (no planted file, link or FIFO is written to or
// waited on), and an existing path is replaced only when it is a regular
// file. The data and then the rename are flushed to disk.
std::string WriteFileAtomically(const std::string& path, const std::string& text);

}  // namespace TesselSoftware
