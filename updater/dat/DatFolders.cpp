// DAT folder layout: the build folder, publishing a switched set and
// tidying old sets.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "Common/Errors/ErrorText.h"
#include "Common/Errors/ExceptionBase.h"
#include "Common/Errors/Win32Error.h"
#include "Common/Files/FileSystemUtils.h"
#include "core/UpdateProgress.h"
#include "core/UpdaterSettings.h"
#include "dat/ArchiveTools.h"
#include "dat/CatalogueText.h"
#include "dat/DatUpdater.h"
#include "dat/DurableFiles.h"
#include "sources/Downloader.h"

namespace TesselSoftware {

namespace {

std::string SetName(uint32_t n, const char* suffix) { return "avvdat-" + std::to_string(n) + suffix; }

}  // namespace

std::string DatUpdater::DatRoot() const {
    const std::string folder = settings_.DATFolder();
    return folder == "/" ? folder : folder + "/";
}

void DatUpdater::RemoveStaleBuildFiles() {
    // Only this pass builds now (it holds the pass lock): whatever carries
    // the build prefix is a leftover of a killed pass.
    const std::string root = DatRoot();
    DIR* folder = ::opendir(root.c_str());
    if (folder == nullptr) return;
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name.rfind("~avvdat-", 0) == 0) stale.push_back(name);
    }
    ::closedir(folder);
    for (const std::string& name : stale) {
        log_.Log(kLogTrace, "Removing %s left by an interrupted pass\r\n", name.c_str());
        CleanUpQuietly([&] { DeleteFolderAndContents(root + name); });
        ::unlink((root + name).c_str());
    }
}

void DatUpdater::PrepareDatFolder(uint32_t n) {
    final_folder_ = DatRoot() + SetName(n, "-files");
    build_folder_ = DatRoot() + "~" + SetName(n, "-files");
    if (::mkdir(build_folder_.c_str(), 0755) == 0) return;
    if (errno == EEXIST) {
        DeleteFolderAndContents(build_folder_);  // left over from an interrupted pass
        if (::mkdir(build_folder_.c_str(), 0755) == 0) return;
    }
    const uint32_t error = SetLastErrorFromErrno();
    throw ExceptionBase(0, "Unable to create DAT files folder \"" + build_folder_ + "\" - " +
                               FormatErrorText(error));
}

void DatUpdater::PublishDatFolder(uint32_t n, bool packed_from_delta) {
    if (packed_from_delta) {
        // Packed beside and renamed into place: a kill while 7za runs never
        // leaves an archive that does not match its set.
        const std::string archive = DatRoot() + SetName(n, ".zip");
        const std::string packing = DatRoot() + "~" + SetName(n, ".zip");
        ::unlink(packing.c_str());  // 7za would add to a leftover
        ZipFolder(final_folder_ + "/*", packing, log_);
        uint32_t error = SyncFile(packing);
        if (error == 0 && std::rename(packing.c_str(), archive.c_str()) != 0) error = SetLastErrorFromErrno();
        if (error != 0) {
            ::unlink(packing.c_str());
            throw CTLVexorNetException(0, "Zip failed for file " + archive + ".\r\n" +
                                              FormatErrorText(error) + "\r\n");
        }
    }
    WriteLocalOem(n);
}

void DatUpdater::WriteLocalOem(uint32_t n) {
    const std::string text = "[AVV-ZIP]\r\nDATVersion=" + std::to_string(n) + "\r\n";
    const std::string path = DatRoot() + "oem.ini";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;  // the local catalogue is informational
    if (::write(fd, text.data(), text.size()) < 0) {
        // Nothing to report: readers find the version from the folder names.
    }
    ::close(fd);
}

void DatUpdater::DeleteOldDatFolders() {
    auto folder = CreateDownloader(LocalFolder, &settings_.DatSourceSettings());
    folder->SetBaseLocation(settings_.DATFolder());
    std::vector<std::string> names;
    if (!folder->ListFiles("avvdat-.*-files", &names)) {
        log_.Log(kLogTrace, "Error during downloading file: '%s'\r\n",
                 folder->LastError().c_str());
    }
    // Newest by number, not by name: "avvdat-10000-files" sorts before
    // "avvdat-9999-files" as text. Names without a version sort first.
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        const uint32_t va = ListedVersion(a).value_or(0), vb = ListedVersion(b).value_or(0);
        return va != vb ? va < vb : a < b;
    });
    if (names.size() <= 3) return;
    // The set the store names stays whatever its number: the scanner may
    // be starting on it right now.
    std::string configured = settings_.DATPath();
    while (configured.size() > 1 && configured.back() == '/') configured.pop_back();
    const std::string_view configured_name = FileNamePart(configured);
    for (size_t i = 0; i + 3 < names.size(); ++i) {
        const std::string& name = names[i];
        if (name == configured_name) continue;
        log_.Log(kLogInformation, "Deleting old DAT folder - %s\r\n", name.c_str());
        DeleteFolderAndContents(DatRoot() + name);
        ::unlink((DatRoot() + name.substr(0, name.size() - 6) + ".zip").c_str());
    }
}

}  // namespace TesselSoftware
