// The sandbox the engine start check runs in: an engine release is native
// code from an update source, and the check runs it before anything has
// vouched for it beyond its signature (and a trusted publisher can still
// ship a faulty one).
//
//   const std::vector<std::string> skipped =
//       ConfineEngineCheck(account, {engine_folder, set_folder});
//
// The calling process stays outside: it waits for the sandbox's first
// process and ends with its exit status (128 + N when signal N ended it),
// so it never returns. The sandbox's first process returns, and is PID 1 of
// a PID namespace of its own: whatever it starts is killed by the kernel
// when it ends, for whatever reason, and it is killed when the caller is.
// Inside:
//   - its own mount, network, IPC and UTS namespaces; the file system is a
//     read-only root holding only /usr (with the /lib, /bin links), the
//     loader's cache, /dev/null, /dev/zero, /dev/urandom, a /proc of its own
//     and `readable_folders` at their real paths: nothing is writable, and
//     /etc, /var and /run (the stores, the secrets, the service's socket)
//     are not there at all;
//   - a session of its own, no new privileges, no capabilities (bounding
//     set included), limits on processes, CPU time, address space and file
//     size;
//   - last, when started as root, the account `account` (its groups too);
//     "" keeps uid 0, still without any capability.
// Started unprivileged, it takes a user namespace to build the same.
// Returns what could not be applied, one text each ("own namespaces: ..."),
// for the trace log; where the namespaces cannot be had at all the check
// runs confined by the limits alone, in the calling process. Call it once,
// single-threaded, before the engine is loaded. `readable_folders` must be
// absolute paths with no link in them (see RealFolderPath).
#pragma once

#include <string>
#include <vector>

namespace TesselSoftware {

std::vector<std::string> ConfineEngineCheck(const std::string& account,
                                            const std::vector<std::string>& readable_folders);

// `folder` with every link resolved and no trailing '/', or "" when it does
// not exist.
std::string RealFolderPath(const std::string& folder);

}  // namespace TesselSoftware
