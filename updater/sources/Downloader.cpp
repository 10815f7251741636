#include "sources/Downloader.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>

#include "Common/Clock.h"
#include "Common/Errors/ExceptionBase.h"
#include "sources/TrustedKeys.h"
#include "sources/UrlParser.h"

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
    struct Reset {
        CDownloader* self;
        ~Reset() {
            self->limit_ = 0;
            self->catalogue_ = false;
        }
    } reset{this};
    limit_ = CatalogueLimit();
    catalogue_ = true;
    return Download(remote_name, local_path);
}

bool CDownloader::Download(const std::string& remote_name, const std::string& local_path) {
    if (!DownloadFile(remote_name, local_path)) return false;
    if (const auto keys = RequiredSigners()) CheckSignature(remote_name, local_path, *keys);
    return true;
}

void CDownloader::CheckSignature(const std::string& remote_name, const std::string& local_path,
                                 const std::vector<Minisign::PublicKey>& keys) {
    // "default.asp?version=..." is signed as "default.asp.minisig?version=...".
    const size_t query = remote_name.find('?');
    const std::string remote_signature = query == std::string::npos
                                             ? remote_name + ".minisig"
                                             : remote_name.substr(0, query) + ".minisig" + remote_name.substr(query);
    const std::string local_signature = local_path + ".minisig";
    std::string name = local_path.substr(local_path.rfind('/') + 1);
    if (!name.empty() && name[0] == '~') name.erase(0, 1);
    const auto fail = [&](const std::string& why) {
        ::unlink(local_path.c_str());
        ::unlink(local_signature.c_str());
        throw SignatureException(0, "The signature of '" + name + "' " + why);
    };
    const std::string file_error = LastError();
    limit_ = Minisign::kMaxSignatureTextBytes;
    const bool fetched = DownloadFile(remote_signature, local_signature);
    limit_ = 0;
    if (!fetched) fail("is missing (" + LastError() + ")");
    SetLastError(file_error);
    std::string text;
    {
        std::ifstream in(local_signature, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    ::unlink(local_signature.c_str());
    Minisign::Signature signature;
    std::string error;
    if (!Minisign::ParseSignature(text, &signature, &error)) fail("is not a signature: " + error);
    std::string reason;
    Minisign::SignedTimes times;
    if (Minisign::VerifyFile(local_path, name, signature, keys, &reason, &times) != Minisign::Verdict::kValid) {
        fail(reason);
    }
    if (!catalogue_) return;
    const std::string refusal = CatalogueRefusal(kind_, name, times, ServiceClock().Now());
    if (!refusal.empty()) {
        ::unlink(local_path.c_str());
        throw SignatureException(0, refusal);
    }
    RecordAcceptedCatalogue(kind_, name, times);
}

std::string CDownloader::AddressOf(const std::string& remote_name) const {
    const std::string address = base_location_ + "/" + remote_name;
    return type_ == Internet ? UrlForDisplay(address) : address;
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
