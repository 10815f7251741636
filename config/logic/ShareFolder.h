// Which network share a chosen folder lies on: a folder under a CIFS/SMB
// mount is offered as its \\server\share path, as the updater reaches it.
#pragma once

#include <optional>
#include <string>

namespace TesselSoftware::VexorConfig {

// The UNC path of folder when it lies under a cifs or smb3 mount listed in
// mountinfo (the text of /proc/self/mountinfo); nullopt otherwise.
std::optional<std::string> ShareNameForFolder(const std::string& folder, const std::string& mountinfo);

}  // namespace TesselSoftware::VexorConfig
