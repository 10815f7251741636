// vexor-engine-check ENGINE_FOLDER DAT_FOLDER
//
// Started by the updater before it switches a new DAT set or engine in:
// loads ENGINE_FOLDER/mscan64a.so, starts it on the DAT files of DAT_FOLDER
// with AVInitialise and closes it again. Exit 0 when the engine started and
// closed; otherwise exit 1 with the reason as the last line of standard
// output. A crash of the engine ends only this process.
#include <dirent.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Common/Platform/DynamicLibrary.h"
#include "core/UpdaterSettings.h"
#include "dat/EngineStartCheck.h"
#include "vexor/EngineContract.h"

namespace {

using TesselSoftware::DynamicLibrary;

uint32_t IgnoreMessages(const EngineCallbackContext*, uint16_t, uint64_t, uint64_t) { return 0; }

bool HasExtraDat(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return false;
    bool found = false;
    while (const struct dirent* entry = ::readdir(dir)) found = found || std::string(entry->d_name) == "extra.dat";
    ::closedir(dir);
    return found;
}

int Fail(const std::string& reason) {
    std::printf("%s\n", reason.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "Usage: %s ENGINE_FOLDER DAT_FOLDER\n", argv[0]);
        return 2;
    }
    std::string engine_folder = argv[1];
    if (engine_folder.empty() || engine_folder.back() != '/') engine_folder += '/';
    const std::string set_folder = std::string(argv[2]) + "/";

    DynamicLibrary engine(engine_folder + TesselSoftware::kEngineLibraryName);
    if (!engine.IsLoaded()) return Fail("the engine library could not be loaded: " + engine.Error());
    const auto initialise = engine.Function<AVInitialiseFn>(kEngineExportInitialise);
    const auto close = engine.Function<AVCloseFn>(kEngineExportClose);
    if (initialise == nullptr || close == nullptr) {
        return Fail("the engine library lacks AVInitialise or AVClose");
    }

    std::vector<std::string> dat_files;
    for (const char* name : TesselSoftware::kDatFileNames) dat_files.push_back(set_folder + name);
    const char* dat_paths[] = {dat_files[0].c_str(), dat_files[1].c_str(), dat_files[2].c_str()};
    const std::string extra_file = set_folder + "extra.dat";
    const char* extra_paths[] = {extra_file.c_str()};
    const EngineFileList dat_list{sizeof(EngineFileList), 3, 0, dat_paths};
    const EngineFileList extra_list{sizeof(EngineFileList), 1, 0, extra_paths};
    std::vector<EngineTagItem> items;
    items.push_back({sizeof(EngineTagItem), kEngineTagCallback, 8,
                     reinterpret_cast<uint64_t>(&IgnoreMessages)});
    items.push_back({sizeof(EngineTagItem), kEngineTagDatFiles, sizeof(EngineFileList),
                     reinterpret_cast<uint64_t>(&dat_list)});
    if (HasExtraDat(set_folder)) {
        items.push_back({sizeof(EngineTagItem), kEngineTagExtraDatFiles, sizeof(EngineFileList),
                         reinterpret_cast<uint64_t>(&extra_list)});
    }
    items.push_back({sizeof(EngineTagItem), kEngineTagInterfaceKey, 8, kEngineInterfaceKey});
    items.push_back({sizeof(EngineTagItem), kEngineTagEngineFolder,
                     static_cast<uint32_t>(engine_folder.size() + 1),
                     reinterpret_cast<uint64_t>(engine_folder.c_str())});
    const EngineRequest request{sizeof(EngineRequest), static_cast<uint16_t>(items.size()), items.data()};

    EngineInitResult result{};
    result.size = sizeof(EngineInitResult);
    const uint16_t status = initialise(&request, &result);
    if (status != 0) {
        return Fail("the engine refused the set: AVInitialise returned " + std::to_string(status));
    }
    const uint16_t closed = close(result.handle);
    if (closed != 0) return Fail("the engine did not close: AVClose returned " + std::to_string(closed));
    std::printf("started engine %u.%u\n", result.major, result.minor);
    return 0;
}
