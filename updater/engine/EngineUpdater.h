// EngineUpdater: the engine half of every update pass. It asks the engine
// update source which folder applies to the installed engine, reads that
// folder's "EngineUpdate.ini", and when it offers a newer version, fetches
// and checks the archive, unpacks it beside the installed engines, starts
// it once in a child process on the configured DAT set, switches EnginePath
// and EngineHash to it together and tidies old engines away.
//
// Runs on the update thread only. A failure leaves the configured engine in
// force and removes what the pass had started.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "Common/Logging.h"

namespace TesselSoftware {

class CDownloader;
struct EngineVersionNumber;
class IUpdateProgress;
class SourceSettings;
class UpdaterSettings;

// The engine source's request for the installed engine's update folder.
std::string EngineVersionRequest(int32_t source_type, const std::string& installed_version);

class EngineUpdater {
public:
    // The collaborators are not owned and must outlive the object.
    EngineUpdater(UpdaterSettings& settings, IUpdateProgress& progress, ILogging& log)
        : settings_(settings), progress_(progress), log_(log) {}
    EngineUpdater(const EngineUpdater&) = delete;
    EngineUpdater& operator=(const EngineUpdater&) = delete;

    // One pass; true when a new engine was switched in, false when the
    // installed one is current. Throws ExceptionBase (CTLVexorNetException
    // for a failed rename) otherwise. With fallback sites
    // (EngineUpdateFallbackSites), a pass that fails on a site starts again
    // on the next (RunOverSites).
    bool RunEngineUpdate();
    // Keeps the three newest engine folders and the one EnginePath names;
    // never throws.
    void DeleteOldEngineFolders();

    // InstallPath + "Engine/" (the default installation folder when
    // InstallPath is not set).
    std::string EngineRoot() const;
    // Called at "switched" (the folder is in place) and "recorded"; tests
    // throw from it to stop a pass there as a crash would.
    void SetStepHookForTesting(std::function<void(std::string_view)> hook) { step_hook_ = std::move(hook); }

private:
    // One pass against site (the configured source, or a copy of it with a
    // fallback's address).
    bool RunEngineUpdateFrom(SourceSettings& site);
    // Throws unless the new engine in folder starts (in a child process) on
    // the configured DAT set, or at least loads when none is configured.
    void VerifyBuildFolder(const std::string& version_text);
    // Throws (and remembers the release as refused) unless the library in
    // the build folder is stamped with the version the release offers: a
    // release that names another version than it holds would be "newer"
    // again on every pass.
    void RequireStampedVersion(const EngineVersionNumber& offered, const std::string& release);
    // Renames the build folder into place durably; a left-over folder of
    // the same version that is not the configured one is removed first.
    // False when that folder is the configured engine: already installed.
    bool SwitchBuildFolder();
    // Records reason as the check's result and removes what the pass began.
    void CleanUpAfterFailure(const std::string& root, const std::string& reason);

    UpdaterSettings& settings_;
    IUpdateProgress& progress_;
    ILogging& log_;
    std::string temp_folder_;
    std::string build_folder_;
    std::string final_folder_;
    std::function<void(std::string_view)> step_hook_;
};

}  // namespace TesselSoftware
