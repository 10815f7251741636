// Path, folder and file-name helpers used wherever the system touches the
// file system. They keep no state and are safe to call from any thread.
//
// Paths are UTF-8 POSIX paths. UNC share names (\\server\share\dir) keep
// their backslash syntax; CombinePath joins those with backslashes.
#pragma once

#include <string>
#include <string_view>

namespace TesselSoftware {

// True when path is an existing folder that is not read-only. A missing
// folder is created, with its missing parents, when create is set. A folder
// counts as read-only when it has no write permission bit at all or the
// calling process may not write to it.
bool EnsureDirectory(const std::string& path, bool create);

// Text before the last "\" or "/" (whichever comes later); "" when none.
std::string ParentPath(std::string_view path);
// Text after the last "\" or "/", or the whole path. Points into path.
std::string_view FileNamePart(std::string_view path);

// Joins a folder and a relative path.
// - An empty base gives relative unchanged; so does an absolute relative
//   ("/..."), or a UNC one ("\\...").
// - Otherwise relative is appended with one separator: "\" for a UNC base,
//   "/" for any other; none when the base already ends with one.
// - For a UNC base, a relative starting with one "\" (and at least three
//   characters long) replaces everything after \\server\share. A UNC base
//   without a share part throws ExceptionBase(0, "Invalid base path <base>").
std::string CombinePath(const std::string& base, const std::string& relative);

// Long-path prefixes have no meaning on Linux: the path stays as it is. Kept
// so call sites read as the long-path retry they are.
inline void AddLongPathPrefix(std::string& /*path*/) {}

// Deletes everything inside folder, not folder itself. Write protection is
// cleared first; symbolic links are removed, never followed. Failures are
// counted, reported as warnings through the current event log (if any), and
// the walk carries on. Returns true when nothing failed (a missing folder
// has nothing to delete). Throws
// ExceptionBase(0, "DelTree passed a NULL path.") for an empty folder.
bool DelTree(const std::string& folder);

// Replaces characters that cannot stand in a file name: control and other
// non-printable characters (and bytes that are not valid UTF-8) by "_", and
// \ / : * < > | " ? by "#". Printable non-ASCII characters stay.
std::string SanitizeFileName(std::string_view name);

// A full path folder/name that does not exist yet: the sanitised name, or
// stem_1.ext, stem_2.ext ... stem_101.ext. Throws ExceptionBase(0,
// "CreateUnique: Unable to create a unique name for <name> in dir <folder>")
// when all are taken. Nothing is created: the caller must create the file
// exclusively, as another process may take the name meanwhile.
std::string CreateUnique(const std::string& folder, const std::string& name);

}  // namespace TesselSoftware
