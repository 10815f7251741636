#include "vexorctl/HealthCheck.h"

#include <algorithm>

#include "vexorctl/TerminalText.h"

namespace TesselSoftware::VexorCtl {

namespace {

constexpr const char* kStateNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

// "3 h 20 min", "12 min", "40 s", "5 d 2 h": the two largest units.
std::string Age(int64_t seconds) {
    seconds = std::max<int64_t>(seconds, 0);
    const int64_t days = seconds / 86400, hours = seconds % 86400 / 3600, minutes = seconds % 3600 / 60;
    if (days > 0) return std::to_string(days) + " d " + std::to_string(hours) + " h";
    if (hours > 0) return std::to_string(hours) + " h " + std::to_string(minutes) + " min";
    if (minutes > 0) return std::to_string(minutes) + " min";
    return std::to_string(seconds) + " s";
}

// The performance data that is known: ages in seconds with the limits, the version.
std::vector<HealthFigure> Figures(const UpdaterReading& reading, int64_t now, const HealthLimits& limits) {
    std::vector<HealthFigure> figures;
    if (reading.dat_installed > 0) {
        figures.push_back({"dat_age", std::max<int64_t>(now - reading.dat_installed, 0), "s", limits.warn_seconds,
                           limits.crit_seconds});
    }
    if (reading.last_check > 0) {
        figures.push_back({"last_check_age", std::max<int64_t>(now - reading.last_check, 0), "s", {}, {}});
    }
    if (reading.dat_version) figures.push_back({"dat_version", *reading.dat_version, "", {}, {}});
    return figures;
}

std::string PerfData(const std::vector<HealthFigure>& figures) {
    std::string data;
    for (const HealthFigure& figure : figures) {
        data += (data.empty() ? "" : " ") + figure.name + "=" + std::to_string(figure.value) + figure.unit;
        if (figure.warn || figure.crit) {
            data += ";" + (figure.warn ? std::to_string(*figure.warn) : std::string()) + ";" +
                    (figure.crit ? std::to_string(*figure.crit) : std::string());
        }
    }
    return data;
}

HealthVerdict Verdict(HealthState state, const std::string& text, const UpdaterReading& reading, int64_t now,
                      const HealthLimits& limits) {
    HealthVerdict verdict{state, "", text, Figures(reading, now, limits)};
    verdict.line = std::string("VEXOR ") + kStateNames[state] + " - " + Printable(OneLine(text));
    // A "|" in the text would start the performance data early.
    std::replace(verdict.line.begin(), verdict.line.end(), '|', '/');
    const std::string data = PerfData(verdict.figures);
    if (!data.empty()) verdict.line += " | " + data;
    return verdict;
}

}  // namespace

const char* HealthStateName(HealthState state) { return kStateNames[state]; }

HealthVerdict JudgeHealth(const UpdaterReading& reading, int64_t now, const HealthLimits& limits) {
    using Service = UpdaterReading::Service;
    const auto verdict = [&](HealthState state, const std::string& text) {
        return Verdict(state, text, reading, now, limits);
    };
    switch (reading.service) {
        case Service::kAccessDenied:
            return verdict(kHealthUnknown, "access to the updater service denied: " + reading.service_error);
        case Service::kMalformed: return verdict(kHealthUnknown, reading.service_error);
        case Service::kUnreachable:
            return verdict(kHealthCritical, "the updater service is unreachable: " + reading.service_error);
        case Service::kAnswered: break;
    }
    if (!reading.store_error.empty()) {
        return verdict(kHealthUnknown, "the settings store cannot be read: " + reading.store_error);
    }
    if (!reading.dat_version || *reading.dat_version == 0) return verdict(kHealthCritical, "no DAT set is installed");
    const std::string set = "DAT set " + std::to_string(*reading.dat_version);
    if (reading.dat_installed == 0) {
        return verdict(kHealthUnknown, set + " is installed, but not when (LastUpdateTime is not recorded)");
    }
    const int64_t age = now - reading.dat_installed;
    const std::string installed = set + " installed " + Age(age) + " ago";
    if (age > limits.crit_seconds) return verdict(kHealthCritical, installed);
    if (reading.last_pass_failed.value_or(false)) {
        return verdict(kHealthWarning, installed + "; the last update pass failed: " + reading.last_error);
    }
    if (age > limits.warn_seconds) return verdict(kHealthWarning, installed);
    const std::string checked =
        reading.last_check > 0 ? "last check " + Age(now - reading.last_check) + " ago" : "not checked yet";
    return verdict(kHealthOk, installed + ", " + checked);
}

}  // namespace TesselSoftware::VexorCtl
