#include "sources/DownloaderUNC.h"

#include "sources/NetworkShareConnection.h"

namespace TesselSoftware {

CDownloaderUNC::CDownloaderUNC(SourceSettings* settings) : CDownloaderFS(settings, NetworkShare) {
    if (settings != nullptr) SetBaseLocation(settings->ShareDirectory());
}

bool CDownloaderUNC::DownloadFile(const std::string& remote_name, const std::string& local_path) {
    ClearLastError();
    const SourceSettings* source = Settings();
    NetworkShareConnection share(BaseLocation(), source ? source->ShareUserName() : "",
                                 source ? source->SharePassword() : "", Progress());
    const std::string path = BaseLocation() + "\\" + remote_name;
    if (share.mounted()) return CopyFrom(share.LocalPath(path), remote_name, local_path);
    if (IUpdateProgress* progress = Progress()) progress->AddMessage("Downloading '%s'", path.c_str());
    std::string reason;
    if (!share.connection().CopyFile(share.PathBelowRoot(path), local_path, DownloadLimit(),
                                     &reason)) {
        SetLastError("Failed to copy '" + remote_name + "' into '" + local_path + "' - " + reason);
        return false;
    }
    return true;
}

bool CDownloaderUNC::ListFiles(const std::string& pattern, std::vector<std::string>* names) {
    ClearLastError();
    const SourceSettings* source = Settings();
    NetworkShareConnection share(BaseLocation(), source ? source->ShareUserName() : "",
                                 source ? source->SharePassword() : "", Progress());
    if (share.mounted()) return ListIn(share.LocalPath(BaseLocation()), pattern, names);
    std::vector<std::string> all;
    if (!share.connection().ListFolder(share.PathBelowRoot(BaseLocation()), &all)) return false;
    return MatchNames(pattern, all, names);
}

void RegisterShareDownloader() {
    RegisterDownloader(NetworkShare, [](SourceSettings* settings) {
        return std::make_shared<CDownloaderUNC>(settings);
    });
}

}  // namespace TesselSoftware
