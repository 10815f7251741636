// Full update: the archive of the target version, checked against the
// source's "avvdat.ini" and unpacked into the build folder.
#include <unistd.h>

#include <cstdio>

#include "Common/Errors/ErrorText.h"
#include "Common/Errors/ExceptionBase.h"
#include "Common/Errors/Win32Error.h"
#include "core/UpdateProgress.h"
#include "core/UpdaterSettings.h"
#include "dat/ArchiveTools.h"
#include "dat/DatUpdater.h"
#include "dat/DurableFiles.h"
#include "dat/IniFile.h"
#include "sources/Downloader.h"

namespace TesselSoftware {

void DatUpdater::DownloadDatZip(CDownloader& downloader) {
    progress_.ReportProgress(kProgressRetrievingMain, "", 0);
    const std::string temporary = DatRoot() + "~" + zip_name_;
    const std::string final_name = DatRoot() + zip_name_;
    if (!downloader.Download(zip_name_, temporary)) {
        log_.Log(kLogTrace, "Error during downloading file: '%s'\r\n",
                 downloader.LastError().c_str());
        // A partial download must never take the archive's name, and the
        // failure is the download's, not the rename's that would follow.
        ::unlink(temporary.c_str());
        ThrowIfCancelled();
        throw CTLVexorNetException(downloader.LastCode(), "Failed to download the DAT archive " + zip_name_ +
                                                              " - " + downloader.LastError() + "\r\n");
    }
    if (::rename(temporary.c_str(), final_name.c_str()) != 0) {
        const uint32_t error = SetLastErrorFromErrno();
        throw CTLVexorNetException(0, "Unable to rename DAT folder from " + temporary + " to " +
                                          final_name + " - " + FormatErrorText(error) + "\r\n");
    }
}

void DatUpdater::VerifyDatZip(CDownloader& downloader) {
    const std::string catalogue = DatRoot() + "avvdat.ini";
    struct RemoveOnExit {
        const std::string& path;
        ~RemoveOnExit() { ::unlink(path.c_str()); }
    } remove_catalogue{catalogue};

    if (!downloader.DownloadCatalogue("avvdat.ini", catalogue)) {
        log_.Log(kLogTrace, "Error during downloading file: '%s'\r\n",
                 downloader.LastError().c_str());
    }
    IniFile ini;
    ini.Load(catalogue);
    std::string md5;
    if (!ini.GetValue("AVV-ZIP", "MD5", &md5)) {
        log_.Log(kLogTrace, "Warning: Failed to acquire MD5 from avvdat.ini\r\n");
        return;
    }
    const std::string archive = DatRoot() + zip_name_;
    if (!CheckFileMD5(archive, md5, log_)) {
        throw ExceptionBase(0, "Dat zip file \"" + archive + "\" failed MD5 sum check.");
    }
    log_.Log(kLogTrace, "Downloaded ZIP file has correct MD5\r\n");
}

void DatUpdater::UnzipDatZip() {
    progress_.ReportProgress(kProgressUnzipping, "", 0);
    UnpackUntrustedArchive(DatRoot() + zip_name_, build_folder_, log_, unzip_timeout_ms_);
}

}  // namespace TesselSoftware
