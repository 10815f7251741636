// VexorDatUpdater: keeps the engine's definition files current, as a
// systemd service, at the console (-debug), or for one pass (-once).
#include <cstring>
#include <iostream>

#include "service/OneShotRun.h"
#include "service/SignalDispatcher.h"
#include "service/VexorUpdaterService.h"
#include "sources/DownloaderFS.h"
#include "sources/DownloaderINET.h"
#include "sources/DownloaderUNC.h"

namespace {

constexpr char kUsage[] =
    "Usage: VexorDatUpdater [-install [-auto] | -remove | -debug | -once | -?]\n"
    "Keeps the Vexor engine and its definition (DAT) files current.\n"
    "\n"
    "  (none)           run as the service; systemd starts it this way\n"
    "  -install [-auto] write the systemd unit VexorDatUpdater64.service (and enable it\n"
    "                   with -auto); -remove stops, disables and deletes it\n"
    "  -debug           run the service at the console; Ctrl+C cancels a running pass\n"
    "                   (it ends at its next safe point) and stops the service\n"
    "  -once            run one update pass (engine, then DAT files) in the foreground\n"
    "                   and exit: 0 something new was installed, 2 everything was up to\n"
    "                   date, 1 the pass failed (also at once while another pass runs);\n"
    "                   it records its check as a service pass does (LastCheckTime,\n"
    "                   LastCheckResult, the next check, the pass record), so health\n"
    "                   and metrics see it\n"
    "  -h, --help       show this text (-? shows the short list)\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace TesselSoftware;
    // Before any thread exists, so that only the dispatcher takes them.
    BlockControlSignals();
    RegisterFolderDownloader();
    RegisterShareDownloader();
    RegisterInternetDownloader();
    const std::vector<std::string> args(argv, argv + argc);
    if (args.size() == 2 && (args[1] == "-once" || args[1] == "/once")) return RunOnce(std::cout, std::cerr);
    if (args.size() == 2 && (args[1] == "--help" || args[1] == "-h")) {
        std::cout << kUsage;
        return 0;
    }
    CVexorUpdaterService service;
    return service.Start(args);
}
