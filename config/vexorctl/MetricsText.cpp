#include "vexorctl/MetricsText.h"

namespace TesselSoftware::VexorCtl {

namespace {

void Metric(std::string& text, const char* name, const char* help, const char* type, const std::string& sample) {
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + sample + "\n";
}

void Gauge(std::string& text, const char* name, const char* help, int64_t value) {
    Metric(text, name, help, "gauge", std::string(name) + " " + std::to_string(value));
}

// A label value: backslash, double quote and line feed escaped.
std::string LabelValue(const std::string& value) {
    std::string escaped;
    for (const char c : value) {
        if (c == '\\') escaped += "\\\\";
        else if (c == '"') escaped += "\\\"";
        else if (c == '\n') escaped += "\\n";
        else escaped += c;
    }
    return escaped;
}

}  // namespace

std::string MetricsText(const UpdaterReading& reading) {
    const bool up = reading.service == UpdaterReading::Service::kAnswered;
    std::string text;
    Gauge(text, "vexor_up", "Whether the updater service answered on its control endpoint.", up ? 1 : 0);
    if (reading.dat_version) {
        Gauge(text, "vexor_dat_version", "Version of the installed DAT set; 0 when none is installed.",
              *reading.dat_version);
    }
    if (reading.dat_installed > 0) {
        Gauge(text, "vexor_dat_installed_timestamp_seconds", "When the installed DAT set was installed.",
              reading.dat_installed);
    }
    if (reading.dat_catalogue_signed > 0 || reading.engine_catalogue_signed > 0) {
        std::string samples;
        for (const auto& [kind, signed_at] : {std::pair{"dat", reading.dat_catalogue_signed},
                                              std::pair{"engine", reading.engine_catalogue_signed}}) {
            if (signed_at <= 0) continue;
            if (!samples.empty()) samples += "\n";
            samples += std::string("vexor_catalogue_signed_timestamp_seconds{kind=\"") + kind + "\"} " +
                       std::to_string(signed_at);
        }
        Metric(text, "vexor_catalogue_signed_timestamp_seconds",
               "When the newest accepted catalogue of the kind of source was signed; it stops moving while a "
               "site or mirror is frozen.",
               "gauge", samples);
    }
    if (reading.last_check > 0) {
        Gauge(text, "vexor_last_check_timestamp_seconds", "When the last update check finished.", reading.last_check);
    }
    if (reading.last_pass_failed) {
        Gauge(text, "vexor_last_check_success", "Whether the newest update pass in the service's history succeeded.",
              *reading.last_pass_failed ? 0 : 1);
    }
    if (up) {
        if (reading.next_check > 0) {
            Gauge(text, "vexor_next_check_timestamp_seconds", "When the next update check is due.", reading.next_check);
        }
        Gauge(text, "vexor_update_running", "Whether an update pass is running.", reading.update_running ? 1 : 0);
        Metric(text, "vexor_engine_info", "The installed engine's version.", "gauge",
               "vexor_engine_info{version=\"" + LabelValue(reading.engine_version) + "\"} 1");
    }
    return text;
}

}  // namespace TesselSoftware::VexorCtl
