// Durability and shape checks for folders the updater builds.
#pragma once

#include <cstdint>
#include <string>

namespace TesselSoftware {

// fsyncs every regular file below folder, then every folder bottom-up, then
// folder itself. Returns 0, or the Win32 number of the first failure (an
// entry that cannot be opened or flushed) with its path in *failed.
uint32_t SyncFolderTree(const std::string& folder, std::string* failed);
// fsyncs one file; 0 or the Win32 number of the failure.
uint32_t SyncFile(const std::string& path);
// fsyncs one folder (its entries: names created, renamed or removed);
// 0 or the Win32 number of the failure.
uint32_t SyncFolder(const std::string& folder);
// Makes folder (a trailing '/' allowed) when it is missing, and then syncs
// its parent, so the new folder's name survives a power cut with what is
// later put in it. An existing folder is left as it is.
uint32_t MakeDurableFolder(const std::string& folder);
// Renames from to to, never replacing an existing to (Win32 183 then). File
// systems without RENAME_NOREPLACE (NFS, CIFS) get a check, then a plain
// rename; callers serialise their renames (the pass lock), so no other
// writer can slip in between. 0 or the Win32 number of the failure.
uint32_t RenameNoReplace(const std::string& from, const std::string& to);
// The first entry below folder that is neither a regular file nor a folder
// (a symbolic link, device, pipe or socket), or "" when there is none.
std::string FindSpecialEntry(const std::string& folder);

// The system calls above, replaceable so tests can make them fail as a
// broken disk or a network file system would. Not thread-safe to change.
struct DurableFileCalls {
    int (*fsync)(int fd);
    int (*renameat2)(int old_dir, const char* old_path, int new_dir, const char* new_path,
                     unsigned flags);
};
DurableFileCalls& DurableFileCallsForTesting();

}  // namespace TesselSoftware
