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

// Writes text to path atomically: a temporary file beside it, flushed to
// disk, then renamed over it, so a collector never reads half a file.
// "" on success, otherwise the reason.
std::string WriteFileAtomically(const std::string& path, const std::string& text);

}  // namespace TesselSoftware::VexorCtl
