// The text form of security descriptors the registry keeps:
//   [O:account][G:account][D:flags(ace)...][S:flags(ace)...]
// An account is a two-letter alias or a numeric SID (S-1-n-n...); an ACE is
// six ";"-separated fields: type;flags;rights;object guid;inherited guid;account.
#pragma once

#include <string>

namespace TesselSoftware {

// True when text has that form (at least one part, at most 4096 characters).
bool IsSecurityDescriptorText(const std::string& text);

}  // namespace TesselSoftware
