#include "sources/Downloader.h"

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
