// Which folders the updater service cannot see. Its unit hides the home
// folders (ProtectHome=yes: /home, /root, /run/user) and gives it a /tmp
// and /var/tmp of its own (PrivateTmp=yes), so a local-folder source there
// would fail with no more than "Failed to copy ...". The tools warn when
// such a folder is set, before the first pass fails.
#pragma once

#include <string>

namespace TesselSoftware::VexorConfig {

// "" when the service can see folder; otherwise a one-line warning that
// names the hidden tree and where sources may live. A folder is judged by
// where it really is (symbolic links followed as far as they exist).
std::string FolderHiddenFromService(const std::string& folder);

}  // namespace TesselSoftware::VexorConfig
