// Text from the service or the store made safe for one terminal line.
#pragma once

#include <string>

namespace TesselSoftware::VexorCtl {

// The text without its trailing line breaks.
std::string Trimmed(std::string text);

// A value a site or another administrator chose may hold line breaks or
// escape sequences, which would forge lines or steer the terminal; they are
// shown as \n, \r, \t or \xNN instead (and a backslash as two).
std::string Printable(const std::string& text);

}  // namespace TesselSoftware::VexorCtl
