// vexor-engine-check [--account NAME] ENGINE_FOLDER DAT_FOLDER
//
// Started by the updater before it switches a new DAT set or engine in.
// It enters its sandbox first (as root, becoming NAME there); then it
// loads ENGINE_FOLDER/mscan64a.so, starts it on the DAT files of DAT_FOLDER
// with AVInitialise and closes it again. An empty DAT_FOLDER (no set
// installed yet) checks that the library loads with its entry points. Exit 0 when the engine started and
// closed; otherwise exit 1 with the reason as the last line of standard
// output. A crash of the engine ends only this process.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Common/Engine/EngineContract.h"
#include "Common/Engine/EngineStartRequest.h"
#include "Common/Platform/DynamicLibrary.h"
#include "core/UpdaterSettings.h"
#include "dat/CheckConfinement.h"
#include "dat/EngineStartCheck.h"

namespace {

using TesselSoftware::DynamicLibrary;

uint32_t IgnoreMessages(const EngineCallbackContext*, uint16_t, uint64_t, uint64_t) { return 0; }

int Fail(const std::string& reason) {
    std::printf("%s\n", reason.c_str());
    return 1;
}

// The check itself; main ends the process with its exit code.
int Check(int argc, char** argv) {
    std::string account;
    if (argc == 5 && std::string(argv[1]) == "--account") {
        account = argv[2];
        argv += 2;
        argc -= 2;
    }
    if (argc != 3) {
        const bool asked = argc == 2 && std::string(argv[1]) == "--help";
        std::fprintf(asked ? stdout : stderr,
                     "Usage: %s [--account NAME] ENGINE_FOLDER DAT_FOLDER\n"
                     "Starts the engine library of ENGINE_FOLDER once on the DAT set in DAT_FOLDER,\n"
                     "confined, and as the account NAME when started as root.\n"
                     "Exit 0 when it started and closed; 1 with the reason on standard output.\n",
                     argv[0]);
        return asked ? 0 : 2;
    }
    // The sandbox shows the two folders at their real paths, and nothing
    // else of the machine's but the system's libraries.
    std::string engine_folder = TesselSoftware::RealFolderPath(argv[1]);
    if (engine_folder.empty()) {
        return Fail(std::string("the engine library could not be loaded: the folder ") + argv[1] + " does not exist");
    }
    std::vector<std::string> readable = {engine_folder};
    engine_folder += '/';
    std::string set_folder;
    if (argv[2][0] != '\0') {
        set_folder = TesselSoftware::RealFolderPath(argv[2]);
        if (set_folder.empty()) return Fail(std::string("the DAT folder ") + argv[2] + " does not exist");
        readable.push_back(set_folder);
    }
    // Before a byte of the candidate runs; what an unprivileged run cannot
    // apply is listed for the trace, never a reason to refuse the engine.
    for (const std::string& skipped : TesselSoftware::ConfineEngineCheck(account, readable)) {
        std::printf("confinement skipped: %s\n", skipped.c_str());
    }

    DynamicLibrary engine(engine_folder + TesselSoftware::kEngineLibraryName);
    if (!engine.IsLoaded()) return Fail("the engine library could not be loaded: " + engine.Error());
    const auto initialise = engine.Function<AVInitialiseFn>(kEngineExportInitialise);
    const auto close = engine.Function<AVCloseFn>(kEngineExportClose);
    if (initialise == nullptr || close == nullptr ||
        engine.Function<AVScanObjectFn>(kEngineExportScanObject) == nullptr) {
        return Fail("the engine library lacks AVInitialise, AVScanObject or AVClose");
    }
    if (set_folder.empty()) {
        std::printf("loaded\n");
        return 0;
    }

    const TesselSoftware::EngineStartRequest request(&IgnoreMessages, set_folder, engine_folder);
    EngineInitResult result{};
    result.size = sizeof(EngineInitResult);
    const uint16_t status = initialise(request.get(), &result);
    if (status != 0) {
        return Fail("the engine refused the set: AVInitialise returned " + std::to_string(status));
    }
    const uint16_t closed = close(result.handle);
    if (closed != 0) return Fail("the engine did not close: AVClose returned " + std::to_string(closed));
    std::printf("started engine %u.%u\n", result.major, result.minor);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int code = Check(argc, argv);
    // Ends without exit handlers: nothing of this process needs them, and
    // those an engine release registered never run.
    std::fflush(stdout);
    std::_Exit(code);
}
