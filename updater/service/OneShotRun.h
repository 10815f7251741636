// The one-shot update run of "VexorDatUpdater -once": loads the settings,
// opens the text log as the service does, runs one update pass in the
// foreground (the engine update, then the DAT update) and reports each
// message on standard output.
#pragma once

#include <iosfwd>

namespace TesselSoftware {

// Exit codes of the one-shot run.
inline constexpr int kOnceInstalled = 0;  // a new engine or new DAT files were installed
inline constexpr int kOnceFailed = 1;     // the pass failed (text on err)
inline constexpr int kOnceUpToDate = 2;   // everything was already current

int RunOnce(std::ostream& out, std::ostream& err);

}  // namespace TesselSoftware
