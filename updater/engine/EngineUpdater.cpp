#include "engine/EngineUpdater.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "Common/Errors/ErrorText.h"
#include "Common/Errors/ExceptionBase.h"
#include "Common/Errors/Win32Error.h"
#include "Common/Files/FileSystemUtils.h"
#include "Common/Platform/FileVersion.h"
#include "Common/Platform/MachineLayout.h"
#include "Common/ProductKey.h"
#include "core/UpdateProgress.h"
#include "core/UpdaterSettings.h"
#include "dat/ArchiveTools.h"
#include "dat/CatalogueText.h"
#include "dat/DurableFiles.h"
#include "dat/EngineStartCheck.h"
#include "dat/IniFile.h"
#include "engine/EngineVersionNumber.h"
#include "sources/Downloader.h"
#include "sources/SiteFallback.h"
#include "sources/SiteCoolDown.h"

namespace TesselSoftware {

namespace {

constexpr char kProgramVersion[] = "6.1.2.1564";
constexpr char kVersionPattern[] = "[0-9]+[.][0-9]+[.][0-9]+[.][0-9]+";

std::string Trimmed(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// A name a source gives for a local file or folder: a plain name only.
const std::string& RequirePlainName(const std::string& name, const char* what) {
    if (!IsPlainFileName(name)) {
        throw ExceptionBase(0, std::string("The engine update source gave an unusable ") + what +
                                   " \"" + name + "\".");
    }
    return name;
}

}  // namespace

std::string EngineVersionRequest(int32_t source_type, const std::string& installed_version) {
    if (source_type != Internet) return "EngineVersion.ini";
    return std::string("default.asp?version=") + kProgramVersion +
           "&engine=" + (installed_version.empty() ? "none" : installed_version) + "&bits=64";
}

std::string EngineUpdater::EngineRoot() const {
    // Never a folder relative to the working directory: without a usable
    // InstallPath the installation's default stands.
    std::string install;
    if (!UpdaterSettings::ReadInstallPath(&install) || install.empty()) {
        install = MachineLayout::DefaultInstallPath();
    }
    return install + "Engine/";
}

void EngineUpdater::VerifyBuildFolder(const std::string& version_text) {
    // The configured set, if any: the new engine must start on what the
    // scanner will give it.
    const std::string dat_set = settings_.DATVersion() > 0 ? settings_.DATPath() : std::string();
    progress_.AddMessage("Starting engine %s once before it is installed.", version_text.c_str());
    std::vector<std::string> skipped;
    const std::string reason = CheckDatSetStarts(build_folder_, dat_set, kEngineStartCheckTimeoutMs, &skipped);
    for (const std::string& step : skipped) log_.Log(kLogTrace, "The engine check ran without: %s\r\n", step.c_str());
    if (!reason.empty()) {
        throw ExceptionBase(0, "The new engine " + version_text + " was not installed: " + reason + ".");
    }
}

void EngineUpdater::RequireStampedVersion(const EngineVersionNumber& offered, const std::string& release) {
    const auto stamp = ReadFileVersion(build_folder_ + "/" + kEngineLibraryName);
    EngineVersionNumber stamped;
    if (stamp && ParseEngineVersion(stamp->ToString(), &stamped) && stamped == offered) return;
    settings_.SetRefusedEngineRelease(release);
    throw ExceptionBase(0, "The engine release " + offered.text + " was not installed: its library is stamped " +
                               (stamp ? stamp->ToString() : std::string("with no version")) + ".");
}

bool EngineUpdater::SwitchBuildFolder() {
    std::string failed;
    uint32_t error = SyncFolderTree(build_folder_, &failed);
    if (error != 0) {
        throw CTLVexorNetException(0, "Unable to flush the new engine files to disk, " + failed + " - " +
                                          FormatErrorText(error) + "\r\n");
    }
    error = RenameNoReplace(build_folder_, final_folder_);
    std::string configured;
    UpdaterSettings::ReadEnginePath(&configured);
    if (error == Win32::kAlreadyExists && Trimmed(configured) == Trimmed(final_folder_)) {
        // The configured engine is this version already (its record names
        // it): nothing to switch, and no reason to fail.
        DeleteFolderAndContents(build_folder_);
        build_folder_.clear();
        return false;
    }
    if (error == Win32::kAlreadyExists) {
        // Left by a pass stopped between its rename and its record: never
        // configured, so it goes, or every later pass would fail here.
        log_.Log(kLogTrace, "Removing unconfigured engine folder %s\r\n", final_folder_.c_str());
        DeleteFolderAndContents(final_folder_);
        error = RenameNoReplace(build_folder_, final_folder_);
    }
    if (error != 0) {
        throw CTLVexorNetException(0, "Unable to rename Engine folder from " + build_folder_ + " to " +
                                          final_folder_ + " - " + FormatErrorText(error) + "\r\n");
    }
    build_folder_.clear();
    SyncFolder(EngineRoot());
    return true;
}

bool EngineUpdater::RunEngineUpdate() {
    return RunOverSites(settings_.EngineSourceSettings(), settings_.EngineUpdateSource(),
                        ReadFallbackSites(kEngineFallbackSitesValue), progress_,
                        [this](SourceSettings& site) { return RunEngineUpdateFrom(site); });
}

bool EngineUpdater::RunEngineUpdateFrom(SourceSettings& site) {
    temp_folder_.clear();
    build_folder_.clear();
    final_folder_.clear();
    const std::string root = EngineRoot();
    bool installed = false;
    try {
        progress_.AddMessage("Checking for new Engine files");
        progress_.SetCurrentStatusText("Checking for new Engine files");
        settings_.SetLastCheckResult("");
        EngineVersionNumber current;
        ParseEngineVersion(settings_.GetEngineVersionText(), &current);
        auto source = CreateDownloader(settings_.EngineUpdateSource(), &site);
        source->SetCatalogueKind(CatalogueKind::kEngine);
        const std::string request = EngineVersionRequest(settings_.EngineUpdateSource(), current.text);
        EnsureDirectory(root, true);
        ::unlink((root + "~EngineVersion.ini").c_str());
        if (!source->DownloadCatalogue(request, root + "~EngineVersion.ini")) {
            throw ExceptionBase(source->LastCode(), "Failed to get EngineVersion.ini from '" +
                                                        source->AddressOf(request) + "'.  Error " +
                                                        source->LastError() + "\r\n");
        }
        std::string engine_dir;
        {
            IniFile answer;
            answer.Load(root + "~EngineVersion.ini");
            if (!answer.GetValue("EngineUpdate", "EngineDir", &engine_dir)) {
                throw ExceptionBase(0, "EngineVersion.ini file didn't have version entry");
            }
        }
        RequirePlainName(engine_dir, "engine folder name");

        temp_folder_ = root + "UpdateFrom-" + current.text;
        ::mkdir(temp_folder_.c_str(), 0755);
        if (!source->DownloadCatalogue(engine_dir + "/EngineUpdate.ini", temp_folder_ + "/EngineUpdate.ini")) {
            throw ExceptionBase(source->LastCode(), "Failed to download UpdateFrom-" + current.text +
                                                        "\\EngineUpdate.ini from '" +
                                                        source->AddressOf(engine_dir + "/EngineUpdate.ini") +
                                                        "'.  Error " + source->LastError() + "\r\n");
        }
        std::string offered_text, archive_name, md5;
        {
            IniFile update;
            update.Load(temp_folder_ + "/EngineUpdate.ini");
            if (!update.GetValue("EngineUpdate", "EngineVersion", &offered_text) ||
                !update.GetValue("EngineUpdate", "ArchiveName", &archive_name) ||
                !update.GetValue("EngineUpdate", "MD5", &md5)) {
                throw ExceptionBase(0, "EngineUpdate.ini file didn't have version entry");
            }
        }
        EngineVersionNumber offered;
        if (!ParseEngineVersion(offered_text, &offered)) {
            throw ExceptionBase(0, "EngineUpdate.ini version info is incorrect");
        }
        const std::string release = offered.text + " " + archive_name + " " + md5;
        const bool refused_before = offered > current && settings_.RefusedEngineRelease() == release;
        if (refused_before) {
            progress_.AddMessage("Engine release %s was refused before (its library is stamped with another "
                                 "version); it is skipped until the source offers another.",
                                 offered.text.c_str());
        }
        if (offered > current && !refused_before) {
            progress_.AddMessage("Updating to engine version %s", offered.text.c_str());
            RequirePlainName(archive_name, "archive name");
            const std::string archive = temp_folder_ + "/" + archive_name;
            if (!source->Download(engine_dir + "/" + archive_name, archive)) {
                throw ExceptionBase(source->LastCode(), "Failed to download the archive file '" +
                                                            source->AddressOf(engine_dir + "/" + archive_name) +
                                                            "'. Error: " + source->LastError());
            }
            if (!CheckFileMD5(archive, md5, log_)) {
                throw ExceptionBase(source->LastCode(),
                                    "Engine file \"" + archive_name + "\" failed MD5 sum check.");
            }
            // With no published checksum, the archive's own still tells the
            // plug-in that the engine changed.
            const std::string hash = md5.empty() ? FileMd5Hex(archive) : md5;
            build_folder_ = root + "~" + offered.text;
            final_folder_ = root + offered.text;
            DeleteFolderAndContents(build_folder_);  // left over from a stopped pass
            ::mkdir(build_folder_.c_str(), 0755);
            UnpackUntrustedArchive(archive, build_folder_, log_);
            RequireStampedVersion(offered, release);
            VerifyBuildFolder(offered.text);
            if (!SwitchBuildFolder()) {
                progress_.AddMessage("Engine %s is already installed", offered.text.c_str());
            } else {
                if (step_hook_) step_hook_("switched");
                settings_.SaveEngine(final_folder_, hash);
                installed = true;
                if (step_hook_) step_hook_("recorded");
            }
            DeleteOldEngineFolders();
            if (std::rename(temp_folder_.c_str(), (root + engine_dir).c_str()) == 0) temp_folder_.clear();
            ::unlink((root + "EngineVersion.ini").c_str());
            ::unlink((root + "~EngineVersion.ini").c_str());
        }
        if (!temp_folder_.empty()) DeleteFolderAndContents(temp_folder_);
        temp_folder_.clear();
        progress_.AddMessage("Finished Engine file check");
        return installed;
    } catch (const SiteCoolingDownException& e) {
        // The engine site asked to be left alone and was not asked: the
        // engine check waits for its time, and the DAT update goes on with
        // the configured engine instead of waiting a day with it.
        CleanUpQuietly([&] {
            if (!temp_folder_.empty()) DeleteFolderAndContents(temp_folder_);
        });
        ::unlink((root + "~EngineVersion.ini").c_str());
        progress_.AddMessage("The engine check is deferred: %s", e.Message().c_str());
        return false;
    } catch (const ExceptionBase& e) {
        CleanUpAfterFailure(root, e.Message());
        throw;
    } catch (const std::exception& e) {
        // The transfer client's own failures (no network library) are
        // recorded and cleaned up after just the same.
        CleanUpAfterFailure(root, e.what());
        throw;
    }
}

void EngineUpdater::CleanUpAfterFailure(const std::string& root, const std::string& reason) {
    CleanUpQuietly([&] {
        settings_.SetLastCheckResult(settings_.LastCheckResult() + reason);
        settings_.Save(SaveScope::CheckResults);
    });
    if (!temp_folder_.empty()) CleanUpQuietly([&] { DeleteFolderAndContents(temp_folder_); });
    if (!build_folder_.empty()) CleanUpQuietly([&] { DeleteFolderAndContents(build_folder_); });
    ::unlink((root + "~EngineVersion.ini").c_str());
}

void EngineUpdater::DeleteOldEngineFolders() {
    try {
        auto folder = CreateDownloader(LocalFolder, &settings_.EngineSourceSettings());
        folder->SetBaseLocation(EngineRoot());
        std::vector<std::string> names;
        if (!folder->ListFiles(kVersionPattern, &names)) return;
        if (names.size() <= 3) return;
        std::vector<std::pair<EngineVersionNumber, std::string>> versions;
        for (const std::string& name : names) {
            EngineVersionNumber version;
            if (!ParseEngineVersion(name, &version)) throw ExceptionBase(0, "Failed to sort the version string");
            versions.emplace_back(version, name);
        }
        std::sort(versions.begin(), versions.end());
        // The engine EnginePath names stays whatever its version: the
        // scanner may be loading it right now.
        std::string configured;
        UpdaterSettings::ReadEnginePath(&configured);
        configured = Trimmed(configured);
        for (size_t i = 0; i + 3 < versions.size(); ++i) {
            const std::string path = EngineRoot() + versions[i].second;
            if (path == configured) continue;
            DeleteFolderAndContents(path);
        }
    } catch (const ExceptionBase&) {
        // Tidying never fails a pass.
    }
}

}  // namespace TesselSoftware
