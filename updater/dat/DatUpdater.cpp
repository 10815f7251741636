#include "dat/DatUpdater.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "Common/Clock.h"
#include "Common/Errors/ErrorText.h"
#include "Common/Errors/ExceptionBase.h"
#include "Common/Errors/Win32Error.h"
#include "Common/Files/FileSystemUtils.h"
#include "core/UpdateProgress.h"
#include "core/UpdaterSettings.h"
#include "dat/ArchiveTools.h"
#include "dat/CatalogueText.h"
#include "dat/DurableFiles.h"
#include "dat/EngineStartCheck.h"
#include "dat/IniFile.h"
#include "sources/DownloaderFS.h"
#include "sources/SiteFallback.h"

namespace TesselSoftware {

namespace {

constexpr char kListingPattern[] = "avvdat-.*";

std::string Formatted(const char* format, uint32_t value) {
    char text[256];
    std::snprintf(text, sizeof text, format, static_cast<int>(value));
    return text;
}

}  // namespace

uint32_t DatUpdater::InstalledVersion() {
    try {
        // An archive counts only beside its set: a pass interrupted after
        // the download (a crash, a kill) leaves the archive alone, and that
        // version must still be installed by the next pass.
        struct InstalledSets final : CDownloaderFS {
            using CDownloaderFS::CDownloaderFS;
            bool ListFiles(const std::string& pattern, std::vector<std::string>* names) override {
                std::vector<std::string> all;
                const bool listed = CDownloaderFS::ListFiles(pattern, &all);
                for (const std::string& name : all) {
                    if (!name.ends_with(".zip") ||
                        ::access((BaseLocation() + "/" + name.substr(0, name.size() - 4) + "-files")
                                     .c_str(),
                                 F_OK) == 0) {
                        names->push_back(name);
                    }
                }
                return listed;
            }
        } folder(&settings_.DatSourceSettings());
        folder.SetBaseLocation(settings_.DATFolder());
        return GetLatestVersion(folder);
    } catch (const ExceptionBase&) {
        return 0;
    }
}

void DatUpdater::RecordInstalledSet(uint32_t version) {
    // A pass interrupted between moving a set into place and recording it
    // leaves the newest set unrecorded; record it now, so the scanner moves
    // on. Only forwards: a recorded set newer than the folders (a stray
    // deletion) is the administrator's to mend, not a reason to go back.
    const std::string folder = DatRoot() + "avvdat-" + std::to_string(version) + "-files";
    const int32_t recorded = settings_.DATVersion();
    if (version == 0 || (recorded > 0 && version <= static_cast<uint32_t>(recorded))) return;
    if (!CheckDatFilesPresent(folder).empty()) return;
    log_.Log(kLogTrace, "Recording installed DAT folder %s\r\n", folder.c_str());
    settings_.SetDATPath(folder);
    settings_.SetDATVersion(static_cast<int32_t>(version));
    WriteLocalOem(version);
}

uint32_t DatUpdater::GetCurrentVersion() {
    const uint32_t version = InstalledVersion();
    settings_.SetLastCheckResult(Formatted("Current DAT version was %d\r\n", version));
    return version;
}

std::string DatUpdater::GetDATVersionText() {
    const uint32_t version = InstalledVersion();
    return version == 0 ? "Version Unknown" : std::to_string(version);
}

uint32_t DatUpdater::GetLatestVersion(CDownloader& downloader) {
    std::vector<std::string> names;
    if (!downloader.ListFiles(kListingPattern, &names)) {
        log_.Log(kLogTrace, "Error during downloading file list: '%s'\r\n",
                 downloader.LastError().c_str());
    }
    uint32_t latest = 0;
    for (const std::string& name : names) {
        if (const auto version = ListedVersion(name); version && *version > latest) latest = *version;
    }
    if (latest == 0) throw CTLVexorNetException(0, "Failed to get the latest available version\r\n");
    return latest;
}

uint32_t DatUpdater::ReadOemVersion(const std::string& path) {
    IniFile ini;
    ini.Load(path);
    std::string value;
    const auto number = ini.GetValue("AVV-ZIP", "DATVersion", &value) ? ParseLeadingInteger(value)
                                                                       : std::nullopt;
    // A source names a positive version; anything else is not one.
    if (!number || *number <= 0) {
        throw CTLVexorNetException(0, "Invalid oem.ini, cannot determine server current version");
    }
    return static_cast<uint32_t>(*number);
}

void DatUpdater::ThrowIfCancelled() {
    if (progress_.IsCancelled()) throw ExceptionBase(0, "Cancelled by user");
}

void DatUpdater::AppendCheckResult(const std::string& text) {
    settings_.SetLastCheckResult(settings_.LastCheckResult() + text);
}

void DatUpdater::VerifyBuildFolder(uint32_t n) {
    std::string reason = CheckDatFilesPresent(build_folder_);
    if (reason.empty()) {
        std::string engine_folder;
        if (!UpdaterSettings::ReadEnginePath(&engine_folder) || engine_folder.empty()) {
            reason = "no engine is configured (EnginePath) to start on it";
        } else {
            progress_.AddMessage("Starting the engine on the new DAT files.");
            std::vector<std::string> skipped;
            reason = CheckDatSetStarts(engine_folder, build_folder_, kEngineStartCheckTimeoutMs, &skipped);
            for (const std::string& step : skipped) {
                log_.Log(kLogTrace, "The engine check ran without: %s\r\n", step.c_str());
            }
        }
    }
    if (!reason.empty()) {
        throw CTLVexorNetException(0, Formatted("The new DAT set %d was not installed: ", n) +
                                          reason + ".\r\n");
    }
}

void DatUpdater::SwitchBuildFolder() {
    // Everything the new set holds reaches the disk before the rename, and
    // the rename before the settings name the set: a power cut never leaves
    // a configured set with missing data. The move never replaces a folder.
    std::string failed;
    uint32_t error = SyncFolderTree(build_folder_, &failed);
    if (error != 0) {
        throw CTLVexorNetException(0, "Unable to flush the new DAT files to disk, " + failed +
                                          " - " + FormatErrorText(error) + "\r\n");
    }
    error = RenameNoReplace(build_folder_, final_folder_);
    if (error != 0) {
        throw CTLVexorNetException(0, "Unable to rename DAT folder from " + build_folder_ + " to " +
                                          final_folder_ + " - " + FormatErrorText(error) + "\r\n");
    }
    // The archive now belongs to the installed set: a later failure of this
    // pass must not delete it.
    zip_name_.clear();
    error = SyncFolder(DatRoot());
    if (error != 0) {
        throw CTLVexorNetException(0, "Unable to flush the DAT folder " + DatRoot() + " - " +
                                          FormatErrorText(error) + "\r\n");
    }
}

bool DatUpdater::RunDatUpdate() {
    return RunOverSites(settings_.DatSourceSettings(), settings_.DATSource(), ReadFallbackSites(kDatFallbackSitesValue),
                        progress_, [this](SourceSettings& site) { return RunDatUpdateFrom(site); });
}

bool DatUpdater::RunDatUpdateFrom(SourceSettings& site) {
    // Names of an earlier pass must not steer this pass's clean-up: they
    // may name the installed set's archive.
    zip_name_.clear();
    final_folder_.clear();
    build_folder_.clear();
    std::string temp_folder;
    bool installed = false;
    try {
        progress_.AddMessage("Checking for new DAT files");
        progress_.SetCurrentStatusText("Checking for new DAT files");
        settings_.SetLastCheckResult("");
        RemoveStaleBuildFiles();
        auto source = CreateDownloader(settings_.DATSource(), &site);
        const uint32_t current = GetCurrentVersion();

        temp_folder = DatRoot() + Formatted("UpdateFrom-%d", current);
        MakeDurableFolder(DatRoot());  // a set installed in it must not lose its folder
        ::mkdir(temp_folder.c_str(), 0755);
        const std::string local_oem = CombinePath(temp_folder, "oem.ini");
        const bool have_oem = source->DownloadCatalogue("oem.ini", local_oem);
        const uint32_t latest = have_oem ? ReadOemVersion(local_oem) : GetLatestVersion(*source);
        ThrowIfCancelled();

        const std::string found = Formatted("Found DAT version %d available for retrieval.", latest);
        progress_.ReportProgress(kProgressText, found, 0);
        AppendCheckResult(found);
        log_.Log(kLogTrace, "Latest available:%d, latest retrieved:%d\r\n",
                 static_cast<int>(latest), static_cast<int>(current));

        if (latest > current) {
            PrepareDatFolder(latest);
            bool partial = false;
            if (have_oem) {
                log_.Log(kLogTrace, "Attempting partial update\r\n");
                partial = TryIncrementalUpdate(temp_folder, *source, current, latest);
            }
            DeleteFolderAndContents(temp_folder);
            if (partial) {
                try {
                    VerifyBuildFolder(latest);
                } catch (const ExceptionBase& e) {
                    // Patched files the engine will not start: the full
                    // archive may still be sound.
                    log_.Log(kLogInformation, "Update error: %s\n", e.Message().c_str());
                    PrepareDatFolder(latest);
                    partial = false;
                }
            }
            if (!partial) {
                log_.Log(kLogTrace, "Performing full update\r\n");
                zip_name_ = Formatted("avvdat-%d.zip", latest);
                DownloadDatZip(*source);
                ThrowIfCancelled();
                VerifyDatZip(*source);
                ThrowIfCancelled();
                UnzipDatZip();
                ThrowIfCancelled();
                VerifyBuildFolder(latest);
            }
            SwitchBuildFolder();
            Step("switched");
            PublishDatFolder(latest, partial);
            Step("published");
            settings_.SetLastUpdateTime(ServiceClock().Now());
            AppendCheckResult("New definition files retrieved.\r\n");
            settings_.SetDATPath(final_folder_);
            settings_.SetDATVersion(static_cast<int32_t>(latest));
            // The store names the new set before any old one is deleted: a
            // crash here, or a gateway starting now, never finds DATPath
            // naming a folder that is being emptied.
            settings_.Save(SaveScope::CheckResults);
            Step("recorded");
            installed = true;
            DeleteOldDatFolders();
            Step("tidied");
        } else {
            DeleteFolderAndContents(temp_folder);
            RecordInstalledSet(current);
            AppendCheckResult("Definition files were up to date.");
            progress_.ReportProgress(kProgressUpToDate, "", 0);
        }
        settings_.Save(SaveScope::CheckResults);
        progress_.ReportProgress(kProgressCheckFinished, "", 0);
        return installed;
    } catch (const ExceptionBase& e) {
        // Record the failure, remove what this pass started, pass it on.
        // Cleaning up must not hide the original failure.
        CleanUpQuietly([&] {
            AppendCheckResult(e.Message());
            settings_.Save(SaveScope::CheckResults);
        });
        if (!temp_folder.empty()) CleanUpQuietly([&] { DeleteFolderAndContents(temp_folder); });
        if (!build_folder_.empty()) CleanUpQuietly([&] { DeleteFolderAndContents(build_folder_); });
        if (!zip_name_.empty()) {
            ::unlink((DatRoot() + zip_name_).c_str());
            ::unlink((DatRoot() + "~" + zip_name_).c_str());
        }
        throw;
    }
}

}  // namespace TesselSoftware
