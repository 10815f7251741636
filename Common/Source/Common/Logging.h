// ILogging: the one logging interface every part of the service writes to.
#pragma once

#include <cstdarg>
#include <cstdint>

namespace TesselSoftware {

// Level masks used by the system. A line is written when its level shares a
// bit with the log's level mask.
inline constexpr int32_t kLogTrace = -1;         // ordinary trace and errors (every bit)
inline constexpr int32_t kLogLoopError = 1;      // errors of the service loop
inline constexpr int32_t kLogInformation = 2;    // settings saved, old folders deleted
inline constexpr int32_t kLogEventMirror = 8;    // copies of event-log messages
inline constexpr int32_t kLogDefaultMask = -2;   // every bit but bit 0

class ILogging {
public:
    ILogging() = default;
    ILogging(const ILogging&) = delete;
    ILogging& operator=(const ILogging&) = delete;
    virtual ~ILogging() = default;

    // printf-style line at the given level; false when it could not be
    // written (callers usually ignore that).
    bool Log(int32_t level, const char* format, ...) __attribute__((format(printf, 3, 4))) {
        va_list args;
        va_start(args, format);
        const bool written = LogV(level, format, args);
        va_end(args);
        return written;
    }

    virtual bool LogV(int32_t level, const char* format, va_list args) = 0;
};

}  // namespace TesselSoftware
