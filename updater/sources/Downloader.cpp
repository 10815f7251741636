#include "sources/Downloader.h"

#include <algorithm>

#include <atomic>
#include <map>
#include <mutex>

#include "Common/Errors/ExceptionBase.h"

namespace TesselSoftware {

namespace {

struct Factory {
    std::mutex mutex;
    std::map<int32_t, DownloaderCreator> creators;
};

Factory& TheFactory() {
    static Factory factory;
    return factory;
}

std::atomic<uint64_t> g_max_update_file_bytes{kMaxUpdateFileBytes};

}  // namespace

uint64_t MaxUpdateFileBytes() { return g_max_update_file_bytes.load(); }
void SetMaxUpdateFileBytesForTesting(uint64_t bytes) { g_max_update_file_bytes.store(bytes); }

uint64_t CatalogueLimit() { return std::min(kMaxCatalogueBytes, MaxUpdateFileBytes()); }

bool CDownloader::DownloadCatalogue(const std::string& remote_name, const std::string& local_path) {
    limit_ = CatalogueLimit();
    const bool ok = Download(remote_name, local_path);
    limit_ = 0;
    return ok;
}

uint64_t CDownloader::DownloadLimit() const { return limit_ != 0 ? limit_ : MaxUpdateFileBytes(); }

bool CDownloader::ListFiles(const std::string& /*pattern*/, std::vector<std::string>* /*names*/) {
    return false;
}

void RegisterDownloader(int32_t type, DownloaderCreator creator) {
    Factory& factory = TheFactory();
    std::lock_guard lock(factory.mutex);
    factory.creators[type] = std::move(creator);
}

std::shared_ptr<CDownloader> CreateDownloader(int32_t type, SourceSettings* settings) {
    DownloaderCreator creator;
    {
        Factory& factory = TheFactory();
        std::lock_guard lock(factory.mutex);
        const auto it = factory.creators.find(type);
        if (it != factory.creators.end()) creator = it->second;
    }
    if (!creator) {
        throw ExceptionBase(0, "Asked to create downloader of unknown type: " + std::to_string(type));
    }
    return creator(settings);
}

}  // namespace TesselSoftware
