#include "logic/StatusPageText.h"

#include <ctime>

namespace TesselSoftware::VexorConfig {

namespace {

// "" when the time cannot be broken down or formatted.
std::string LocalTime(int64_t seconds, const char* format) {
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    if (localtime_r(&time, &parts) == nullptr) return "";
    char text[128];
    const size_t length = std::strftime(text, sizeof text, format, &parts);
    return std::string(text, length);
}

}  // namespace

std::string FormatAttemptTime(int64_t seconds_since_1970) {
    if (seconds_since_1970 == 0) return "";
    return LocalTime(seconds_since_1970, "%A, %B %d, %Y, %I:%M %p");
}

std::string StatusLine(std::string text) {
    for (char& c : text) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return text;
}

std::string ComposeLog(const std::vector<std::pair<int64_t, std::string>>& entries) {
    std::string log;
    for (const auto& [time, text] : entries) {
        if (!log.empty()) log += "\n";
        log += LocalTime(time, "%X") + "    " + text;
    }
    return log;
}

}  // namespace TesselSoftware::VexorConfig
