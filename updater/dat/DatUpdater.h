// DatUpdater: one DAT update pass. It finds the installed and the newest
// available version, builds the new set beside the old one (incrementally
// through the engine library, or from the full archive), switches the
// settings to it under the registry lock and tidies old sets away.
//
// Runs on the service loop's thread only. A failure leaves the previous set
// configured and removes what the pass had started.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "Common/Logging.h"

namespace TesselSoftware {

class CDownloader;
class DeltaCatalogue;
class IUpdateProgress;
class SourceSettings;
class UpdaterSettings;

class DatUpdater {
public:
    // The three collaborators are not owned and must outlive the object;
    // UpdaterCore passes itself as settings and progress.
    DatUpdater(UpdaterSettings& settings, IUpdateProgress& progress, ILogging& log)
        : settings_(settings), progress_(progress), log_(log) {}
    DatUpdater(const DatUpdater&) = delete;
    DatUpdater& operator=(const DatUpdater&) = delete;

    // One pass; returns true when a new set was switched in, false when
    // the definitions were up to date. Throws ExceptionBase
    // (CTLVexorNetException for network and install failures) otherwise.
    // With fallback sites (FallbackSites), a pass that fails on a site
    // starts again on the next (RunOverSites).
    bool RunDatUpdate();

    // The installed version (highest avvdat-N name in DATFolder, 0 when
    // none); replaces LastCheckResult with "Current DAT version was N\r\n".
    uint32_t GetCurrentVersion();
    // "Version Unknown" or the installed version in decimal. Unlike
    // GetCurrentVersion it leaves LastCheckResult alone, as the status page
    // asks for it every second while a pass accumulates its result there.
    std::string GetDATVersionText();
    // The highest version the downloader's listing shows; throws
    // CTLVexorNetException "Failed to get the latest available version\r\n".
    uint32_t GetLatestVersion(CDownloader& downloader);
    // [AVV-ZIP] DATVersion of an "oem.ini"; throws CTLVexorNetException
    // "Invalid oem.ini, cannot determine server current version".
    uint32_t ReadOemVersion(const std::string& path);

    // DATFolder + "/" ("/" itself stays "/").
    std::string DatRoot() const;
    // Sets the final and build folders of version n and creates the build
    // folder empty (wiping a leftover one).
    void PrepareDatFolder(uint32_t n);
    // Packs the final folder when it came from patches (beside, under a "~"
    // name, then renamed into place), then writes the local "oem.ini".
    void PublishDatFolder(uint32_t n, bool packed_from_delta);
    // Keeps the three numerically newest sets and the one DATPath names,
    // deletes the others and their archives.
    void DeleteOldDatFolders();
    // Removes every "~avvdat-*" build folder and archive an interrupted pass
    // left (of any version); sets and archives without "~" stay. Never throws.
    void RemoveStaleBuildFiles();

    void DownloadDatZip(CDownloader& downloader);
    void VerifyDatZip(CDownloader& downloader);
    // Extracts into the build folder; an archive that yields anything but
    // regular files and folders fails.
    void UnzipDatZip();

    // True when the build folder holds the new files of offered_version (the
    // version "oem.ini" named); never throws.
    bool TryIncrementalUpdate(const std::string& temp_folder, CDownloader& downloader,
                              uint32_t local_version, uint32_t offered_version);
    // True when AVUpdate wrote the new files; *reached is the version the
    // engine reports it wrote (0 when it reported none).
    bool ApplyIncrementalUpdate(const std::string& temp_folder, CDownloader& downloader,
                                const DeltaCatalogue& catalogue, uint32_t local_version,
                                uint32_t* reached);

    // Throws CTLVexorNetException naming the set and the reason unless the
    // build folder holds the three DAT files and the configured engine
    // starts on them (in a child process).
    void VerifyBuildFolder(uint32_t n);

    const std::string& FinalFolder() const { return final_folder_; }
    void SetUnzipTimeoutForTesting(int64_t timeout_ms) { unzip_timeout_ms_ = timeout_ms; }
    const std::string& BuildFolder() const { return build_folder_; }
    // Called at the marked points of a pass that installs a set: "switched"
    // (the set is in place), "published", "recorded" (DATPath and DATVersion
    // saved), "tidied". Tests throw from it to stop a pass there, as a crash
    // would.
    void SetStepHookForTesting(std::function<void(std::string_view step)> hook) {
        step_hook_ = std::move(hook);
    }

private:
    // One pass against site (the configured source, or a copy of it with a
    // fallback's address).
    bool RunDatUpdateFrom(SourceSettings& site);
    // The installed version, without touching LastCheckResult.
    uint32_t InstalledVersion();
    void ThrowIfCancelled();
    void AppendCheckResult(const std::string& text);
    // Points DATPath and DATVersion at the installed set of version when it
    // is complete and newer than the recorded one (saved with the check
    // results), and rewrites the local "oem.ini".
    void RecordInstalledSet(uint32_t version);
    // Moves the build folder into place durably; afterwards the pass's
    // failure path no longer deletes the new set's archive.
    void SwitchBuildFolder();
    void WriteLocalOem(uint32_t n);
    void Step(std::string_view step) {
        if (step_hook_) step_hook_(step);
    }

    UpdaterSettings& settings_;
    IUpdateProgress& progress_;
    ILogging& log_;
    std::string zip_name_;
    std::string final_folder_;
    std::string build_folder_;
    int64_t unzip_timeout_ms_ = 300000;
    std::function<void(std::string_view)> step_hook_;
};

}  // namespace TesselSoftware
