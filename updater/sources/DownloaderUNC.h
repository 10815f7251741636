// CDownloaderUNC: update files from a folder on a network share (type 1),
// given as a UNC path (\\server\share\folder, "/" accepted for "\"), with
// the source's share account. Each Download and ListFiles connects to the
// share and drops the connection again, unless the machine has the share
// mounted, which is then used as a local folder.
#pragma once

#include "sources/DownloaderFS.h"

namespace TesselSoftware {

class CDownloaderUNC : public CDownloaderFS {
public:
    // Base location: the source's share folder setting.
    explicit CDownloaderUNC(SourceSettings* settings);

    // Throw CTLVexorNetException when the share cannot be connected;
    // otherwise as the local-folder downloader (base + "\" + name).
    bool DownloadFile(const std::string& remote_name, const std::string& local_path) override;
    bool ListFiles(const std::string& pattern, std::vector<std::string>* names) override;
};

// Registers the network-share downloader for code 1.
void RegisterShareDownloader();

}  // namespace TesselSoftware
