// Incremental update: the source's delta catalogue and patches, applied to
// the installed set by the engine library's AVUpdate into the build folder.
#include <cstdio>

#include "Common/Engine/EngineContract.h"
#include "Common/Errors/ExceptionBase.h"
#include "Common/Files/FileSystemUtils.h"
#include "Common/Platform/DynamicLibrary.h"
#include "core/UpdateProgress.h"
#include "core/UpdaterSettings.h"
#include "dat/ArchiveTools.h"
#include "dat/CatalogueText.h"
#include "dat/DatUpdater.h"
#include "dat/DeltaCatalogue.h"
#include "dat/EngineStartCheck.h"
#include "dat/IniFile.h"
#include "sources/Downloader.h"
#include "sources/TrustedKeys.h"

namespace TesselSoftware {

namespace {

constexpr char kCannotUpdate[] = "Unable to perform incremental update.";

// The run whose AVUpdate call is in progress on this thread: the engine
// calls back on the calling thread, with no context of ours.
thread_local IUpdateProgress* t_update_progress = nullptr;
// The version the engine reports it wrote during that call (0: none yet).
thread_local uint32_t t_reached_version = 0;

uint32_t UpdateProgressCallback(const void* /*context*/, uint16_t event, const void* /*pointer*/,
                                uint64_t number) {
    IUpdateProgress* progress = t_update_progress;
    if (progress == nullptr) return 0;
    try {
        const int version = static_cast<int>(static_cast<uint32_t>(number));
        switch (event) {
            case kUpdateEventStarting: progress->AddMessage("Updating DAT from %d", version); break;
            case kUpdateEventReached:
                t_reached_version = static_cast<uint32_t>(number);
                progress->AddMessage("Successfully updated to %d", version);
                break;
            case kUpdateEventError:
                progress->AddMessage("Vexor reports an error in attempting to update");
                break;
            default: break;
        }
    } catch (...) {
        // Nothing may cross back into the engine.
    }
    return 0;
}

// A name from the catalogue must stay inside the temp folder.
const std::string& RequirePlainName(const std::string& name) {
    if (!IsPlainFileName(name)) {
        throw ExceptionBase(0, "Delta file name \"" + name + "\" is not a plain file name.");
    }
    return name;
}

// Pointers into owned strings, as the engine's file lists take them.
struct PathList {
    explicit PathList(std::vector<std::string> owned) : paths(std::move(owned)) {
        for (const std::string& path : paths) pointers.push_back(path.c_str());
        list = {sizeof(UpdateFileList), static_cast<uint32_t>(pointers.size()), pointers.data()};
    }
    std::vector<std::string> paths;
    std::vector<const char*> pointers;
    UpdateFileList list;
};

std::vector<std::string> DatFilesIn(const std::string& folder) {
    std::vector<std::string> paths;
    for (const char* name : kDatFileNames) paths.push_back(folder + "/" + name);
    return paths;
}

}  // namespace

bool DatUpdater::TryIncrementalUpdate(const std::string& temp_folder, CDownloader& downloader,
                                      uint32_t local_version, uint32_t offered_version) {
    try {
        IniFile oem;
        oem.Load(CombinePath(temp_folder, "oem.ini"));
        std::string file_name, md5;
        if (!oem.GetValue("AVV-Incremental", "FileName", &file_name) ||
            !oem.GetValue("AVV-Incremental", "MD5", &md5)) {
            throw ExceptionBase(0, "Oem.ini file didn't contain the necessary entries.");
        }
        const std::string local_catalogue = CombinePath(temp_folder, RequirePlainName(file_name));
        if (!downloader.DownloadCatalogue(file_name, local_catalogue)) {
            log_.Log(kLogTrace, "Error during downloading file: '%s'\r\n",
                     downloader.LastError().c_str());
        }
        if (!CheckFileMD5(local_catalogue, md5, log_)) {
            throw ExceptionBase(0, "Delta file \"" + local_catalogue + "\" failed MD5 sum check.");
        }
        const DeltaCatalogue catalogue(static_cast<int32_t>(local_version), local_catalogue);
        if (!catalogue.CanUpdate()) throw ExceptionBase(0, kCannotUpdate);
        // A site caught mid-refresh serves one version's "oem.ini" beside
        // another's patches: their files must never be recorded as the
        // offered version.
        if (static_cast<uint32_t>(catalogue.ServerVersion()) != offered_version) {
            throw ExceptionBase(0, "The delta catalogue leads to version " +
                                       std::to_string(catalogue.ServerVersion()) +
                                       ", not to the offered version " +
                                       std::to_string(offered_version) + ".");
        }
        uint32_t reached = 0;
        if (!ApplyIncrementalUpdate(temp_folder, downloader, catalogue, local_version, &reached)) {
            throw ExceptionBase(0, kCannotUpdate);
        }
        if (reached != offered_version) {
            throw ExceptionBase(0, "The patches reached version " + std::to_string(reached) +
                                       ", not the offered version " +
                                       std::to_string(offered_version) + ".");
        }
        const std::string missing = CheckDatFilesPresent(build_folder_);
        if (!missing.empty()) throw ExceptionBase(0, "The patched set is incomplete: " + missing + ".");
        return true;
    } catch (const SignatureException&) {
        throw;  // a bad signature fails the pass; the full archive does not stand in
    } catch (const ExceptionBase& e) {
        log_.Log(kLogInformation, "Update error: %s\n", e.Message().c_str());
        return false;
    }
}

bool DatUpdater::ApplyIncrementalUpdate(const std::string& temp_folder, CDownloader& downloader,
                                        const DeltaCatalogue& catalogue, uint32_t local_version,
                                        uint32_t* reached) {
    *reached = 0;
    progress_.AddMessage("Performing incremental update...");
    std::vector<std::string> patches;
    for (const std::string& name : catalogue.GetPatchFiles()) {
        const std::string local = CombinePath(temp_folder, RequirePlainName(name));
        if (!downloader.Download(name, local)) {
            log_.Log(kLogTrace, "Error during downloading file: '%s'\r\n",
                     downloader.LastError().c_str());
        }
        patches.push_back(local);
    }
    const PathList current(DatFilesIn(DatRoot() + "avvdat-" + std::to_string(local_version) + "-files"));
    const PathList next(DatFilesIn(build_folder_));
    const PathList patch_list(patches);
    const UpdateFileSet files{sizeof(UpdateFileSet), 0, &current.list, &next.list, &patch_list.list};

    std::string engine_folder;
    UpdaterSettings::ReadEnginePath(&engine_folder);
    const UpdateParameter parameters[3] = {
        {sizeof(UpdateParameter), kUpdateTagInterfaceKey, 8, kEngineInterfaceKey},
        {sizeof(UpdateParameter), kUpdateTagEngineFolder,
         static_cast<uint32_t>(engine_folder.size() + 1),
         reinterpret_cast<uint64_t>(engine_folder.c_str())},
        {sizeof(UpdateParameter), kUpdateTagCallback, 8,
         reinterpret_cast<uint64_t>(&UpdateProgressCallback)},
    };
    const UpdateParameterList parameter_list{sizeof(UpdateParameterList), 3, parameters};

    DynamicLibrary engine(engine_folder + kEngineLibraryName);
    if (!engine.IsLoaded()) {
        progress_.AddMessage("Couldn't find Vexor DLL.  Partial update failed.");
        return false;
    }
    const auto update = engine.Function<AVUpdateFn>(kEngineExportUpdate);
    if (update == nullptr) {
        progress_.AddMessage("Vexor DLL doesn't have appropriate entry point.  Partial update failed.");
        return false;
    }
    progress_.AddMessage("Asking Vexor to update DAT files.");
    t_update_progress = &progress_;
    t_reached_version = 0;
    const uint16_t result = update(&files, &parameter_list);
    t_update_progress = nullptr;
    *reached = t_reached_version;
    return result == 0;
}

}  // namespace TesselSoftware
