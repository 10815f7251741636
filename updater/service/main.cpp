// VexorDatUpdater: keeps the engine's definition files current.
#include <cstring>
#include <iostream>

#include "service/OneShotRun.h"
#include "sources/DownloaderFS.h"
#include "sources/DownloaderINET.h"
#include "sources/DownloaderUNC.h"

namespace {

constexpr char kUsage[] =
    "Usage: VexorDatUpdater -once\n"
    "Keeps the Vexor engine's definition (DAT) files current.\n"
    "\n"
    "  -once    run one update pass (engine, then DAT files) in the foreground with the\n"
    "           installed settings, print its progress messages, and exit: 0 a new engine\n"
    "           or new DAT files were installed, 2 everything\n"
    "           was already up to date, 1 the pass failed (the reason on standard error),\n"
    "           also at once when another update pass is running on this machine\n"
    "  -?, --help  show this text\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace TesselSoftware;
    RegisterFolderDownloader();
    RegisterShareDownloader();
    RegisterInternetDownloader();
    if (argc == 2 && (std::strcmp(argv[1], "-once") == 0 || std::strcmp(argv[1], "/once") == 0)) {
        return RunOnce(std::cout, std::cerr);
    }
    const bool asked = argc == 2 && (std::strcmp(argv[1], "-?") == 0 || std::strcmp(argv[1], "/?") == 0 ||
                                     std::strcmp(argv[1], "--help") == 0);
    (asked ? std::cout : std::cerr) << kUsage;
    return asked ? 0 : 1;
}
