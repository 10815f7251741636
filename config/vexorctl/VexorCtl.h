// vexorctl: the command-line twin of the configuration tool. Parses a
// command line and runs it against the updater service's control endpoint.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace TesselSoftware::VexorCtl {

// Exit statuses.
enum ExitCode : int {
    kOk = 0,
    kServiceSaidNo = 1,      // the service answered false
    kUsage = 2,              // usage error or invalid input
    kUnreachable = 3,        // service unreachable or transport failure
    kAccessDenied = 4,
};

// Runs args (without the program name); writes results to out and errors to
// err; passwords asked for are read from in (without echo when in is the
// terminal). Returns the exit status.
int Run(const std::vector<std::string>& args, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace TesselSoftware::VexorCtl
