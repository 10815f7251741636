// Logging through the host's logger, when one is attached.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

#include "TSVexor/Scanner.h"

namespace TesselSoftware {

inline constexpr int32_t kPluginLogDetail = 0;
inline constexpr int32_t kPluginLogInfo = 1;
inline constexpr int32_t kPluginLogWarning = 2;

// Formats here and hands the finished line to the logger as "%s", so a
// host's own format handling never meets our arguments. Null logger: nothing.
[[gnu::format(printf, 3, 4)]] inline void PluginLog(IScannerLogger* logger, int32_t level,
                                                    const char* format, ...) {
    if (logger == nullptr) return;
    char line[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    logger->Log(level, "%s", line);
}

}  // namespace TesselSoftware
