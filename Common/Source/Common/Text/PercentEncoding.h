// Percent-encoding of URL components (%XX escapes), shared by the URL
// parser of internet sources and the SMB URLs of network shares.
#pragma once

#include <string>

namespace TesselSoftware {

// Percent-decoding until a pass decodes nothing ("%2541" -> "A"); a "%" not
// followed by two hexadecimal digits is kept as it is.
std::string PercentDecode(const std::string& text);
// Keeps "-", ".", digits, letters, "_" and "~"; every other byte becomes
// "%" and two upper-case hexadecimal digits.
std::string PercentEncode(const std::string& text);

}  // namespace TesselSoftware
