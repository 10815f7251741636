// vexorctl health: the updater judged the way monitoring plug-ins report,
// one line ("VEXOR OK - ...", WARNING, CRITICAL or UNKNOWN), then " | " and
// performance data, and the matching exit status 0, 1, 2 or 3.
//
//   CRITICAL  no DAT set installed, the set older than the critical age,
//             or the service unreachable;
//   WARNING   the last pass failed, or the set older than the warning age;
//   UNKNOWN   access denied, a malformed answer, or the set's age unknown.
#pragma once

#include <cstdint>
#include <string>

#include "vexorctl/UpdaterReading.h"

namespace TesselSoftware::VexorCtl {

enum HealthState : int { kHealthOk = 0, kHealthWarning = 1, kHealthCritical = 2, kHealthUnknown = 3 };

struct HealthLimits {
    int64_t warn_seconds = 24 * 3600;
    int64_t crit_seconds = 72 * 3600;
};

struct HealthVerdict {
    HealthState state = kHealthUnknown;
    std::string line;  // without the line break
};

// now: seconds since 1970. Pure: the same reading and time give the same line.
HealthVerdict JudgeHealth(const UpdaterReading& reading, int64_t now, const HealthLimits& limits);

}  // namespace TesselSoftware::VexorCtl
