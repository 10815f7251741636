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
#include <optional>
#include <string>
#include <vector>

#include "vexorctl/UpdaterReading.h"

namespace TesselSoftware::VexorCtl {

enum HealthState : int { kHealthOk = 0, kHealthWarning = 1, kHealthCritical = 2, kHealthUnknown = 3 };

struct HealthLimits {
    int64_t warn_seconds = 24 * 3600;
    int64_t crit_seconds = 72 * 3600;
};

// One item of the performance data: "dat_age=7200s;86400;259200".
struct HealthFigure {
    std::string name;
    int64_t value = 0;
    std::string unit;         // "s" or ""
    std::optional<int64_t> warn, crit;
};

struct HealthVerdict {
    HealthState state = kHealthUnknown;
    std::string line;  // without the line break
    std::string text;  // the judgement alone, what follows "VEXOR <STATE> - "
    std::vector<HealthFigure> figures;
};

// "OK", "WARNING", "CRITICAL" or "UNKNOWN".
const char* HealthStateName(HealthState state);

// now: seconds since 1970. Pure: the same reading and time give the same line.
HealthVerdict JudgeHealth(const UpdaterReading& reading, int64_t now, const HealthLimits& limits);

}  // namespace TesselSoftware::VexorCtl
