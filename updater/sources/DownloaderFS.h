// CDownloaderFS: update files from a folder of the local file system (type
// 2), and the working part of the network-share downloader.
#pragma once

#include "sources/Downloader.h"

namespace TesselSoftware {

class CDownloaderFS : public CDownloader {
public:
    // Base location: the source's local folder setting.
    explicit CDownloaderFS(SourceSettings* settings, int32_t type = LocalFolder);

    // Copies base + "/" + remote_name over local_path; a failed copy leaves
    // no partial file behind. Reports "Downloading '<source>'" as a message.
    bool DownloadFile(const std::string& remote_name, const std::string& local_path) override;
    // Names of the folder's files and sub-folders whose whole name matches
    // pattern (case-sensitive); false for a missing folder or a bad pattern.
    bool ListFiles(const std::string& pattern, std::vector<std::string>* names) override;

protected:
    // Download and ListFiles on a given local source file or folder.
    bool CopyFrom(const std::string& source, const std::string& remote_name,
                  const std::string& local_path);
    bool ListIn(const std::string& folder, const std::string& pattern,
                std::vector<std::string>* names);
    // Appends those candidates whose whole name matches pattern (Perl
    // syntax, case-sensitive; empty matches all); false for a bad pattern.
    static bool MatchNames(const std::string& pattern, const std::vector<std::string>& candidates,
                           std::vector<std::string>* names);
};

// Registers the local-folder downloader for code 2.
void RegisterFolderDownloader();

}  // namespace TesselSoftware
