// The texts of the configuration tool's status page, apart from any widget.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace TesselSoftware::VexorConfig {

// A last or next update attempt as the long local date and a 12-hour time
// ("Tuesday, March 05, 2024, 03:07 PM"); "" for 0 or a time that cannot be
// converted.
std::string FormatAttemptTime(int64_t seconds_since_1970);

// The status line on one line: every carriage return and line feed becomes
// a space.
std::string StatusLine(std::string text);

// The log: one line per entry, oldest first, the local time ("%X"), four
// spaces and the text; lines joined with "\n".
std::string ComposeLog(const std::vector<std::pair<int64_t, std::string>>& entries);

// How often the page refreshes itself.
inline int RefreshIntervalMs(bool update_running) { return update_running ? 1000 : 10000; }

}  // namespace TesselSoftware::VexorConfig
