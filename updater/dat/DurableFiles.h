// Durability and shape checks for folders the updater builds.
#pragma once

#include <string>

namespace TesselSoftware {

// fsyncs every regular file below folder, then every folder bottom-up.
// Best effort: a file that cannot be opened is skipped.
void SyncFolderTree(const std::string& folder);
// fsyncs one folder (its entries: names created, renamed or removed).
void SyncFolder(const std::string& folder);
// The first entry below folder that is neither a regular file nor a folder
// (a symbolic link, device, pipe or socket), or "" when there is none.
std::string FindSpecialEntry(const std::string& folder);

}  // namespace TesselSoftware
