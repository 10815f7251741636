// Reading numbers and names out of update-site catalogues and listings.
// Everything here is untrusted input from an update source.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace TesselSoftware {

// The number at the start of text as the C library's integer conversion
// reads it (leading white space, optional sign, digits up to the first
// non-digit; 0 when there are none). Out of the signed 32-bit range: nullopt.
std::optional<int64_t> ParseLeadingInteger(const std::string& text);

// The version a DAT-folder or source listing name stands for:
// "avvdat-6543.zip" and "avvdat-6543-files" give 6543. The text after
// "avvdat-" is cut before its first "." when it holds ".zip", else before
// its first "-", and must then be a whole decimal number (an optional "+"
// allowed) from 1 to 2^31-1. Anything else: nullopt.
std::optional<uint32_t> ListedVersion(const std::string& name);

// True for a name that can only mean a file in the folder it is fetched
// into: not empty, not ".", no "/", "\", "..", '"', control characters or
// leading "~".
bool IsPlainFileName(const std::string& name);

}  // namespace TesselSoftware
