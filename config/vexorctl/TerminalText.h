// Text from the service or the store made safe for one terminal line.
#pragma once

#include <string>

namespace TesselSoftware::VexorCtl {

// The text without its trailing line breaks.
std::string Trimmed(std::string text);

// A message (a status, a history line, an error) as one line: its trailing
// line breaks gone, and each of the system's own line breaks ("\r\n")
// inside it a space. Any other control character stays for Printable.
std::string OneLine(const std::string& text);

// A value a site or another administrator chose may hold line breaks or
// escape sequences, which would forge lines or steer the terminal; they are
// shown as \n, \r, \t or \xNN instead. Backslashes stay as they are
// (a share path \\server\share is shown as stored).
std::string Printable(const std::string& text);

}  // namespace TesselSoftware::VexorCtl
