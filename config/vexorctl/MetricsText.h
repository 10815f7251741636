// vexorctl metrics: the updater's state in the Prometheus text exposition
// format (HELP and TYPE lines, base units), for node_exporter's textfile
// collector. A value nobody can know (the service down, no pass in its
// history) is left out rather than guessed; vexor_up says whether the
// service answered.
#pragma once

#include <string>

#include "vexorctl/UpdaterReading.h"

namespace TesselSoftware::VexorCtl {

std::string MetricsText(const UpdaterReading& reading);

}  // namespace TesselSoftware::VexorCtl
