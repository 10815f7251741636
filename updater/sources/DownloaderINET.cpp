#include "sources/DownloaderINET.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "Common/Clock.h"
#include "Common/Errors/ExceptionBase.h"
#include "sources/HttpTransfer.h"
#include "sources/SiteCoolDown.h"
#include "sources/UrlParser.h"

namespace TesselSoftware {

namespace {

constexpr int32_t kLowSpeedLimit = 1;    // bytes per second ...
constexpr int32_t kLowSpeedTime = 180;   // ... over this many seconds is a stall
constexpr int32_t kMaxRedirects = 5;

}  // namespace

CDownloaderINET::CDownloaderINET(SourceSettings* settings) : CDownloader(Internet, settings) {
    if (settings != nullptr) SetBaseLocation(settings->Address());
}

bool CDownloaderINET::DownloadFile(const std::string& remote_name, const std::string& local_path) {
    ClearLastError();
    IUpdateProgress* const progress = Progress();
    const auto say = [progress](const std::string& text) {
        if (progress != nullptr) progress->AddMessageText(text);
    };
    ProxySettings proxy;
    const SourceSettings* const source = Settings();
    if (source == nullptr || !source->UseProxy()) {
        say("Connecting directly");
    } else if (const std::string user = source->ProxyUserName(); !user.empty()) {
        if (progress != nullptr) {
            progress->AddMessage("Connecting via authenticated proxy: %d, %d",
                                 static_cast<int>(user.size()), static_cast<int>(static_cast<int8_t>(user[0])));
            progress->AddMessage("Connecting via authenticated proxy: %s:%d",
                                 source->ProxyName().c_str(), source->ProxyPort());
        }
        proxy.SetManual(source->ProxyName(), source->ProxyPort(), user, source->ProxyPassword());
    } else {
        if (progress != nullptr) {
            progress->AddMessage("Connecting via proxy: %s:%d", source->ProxyName().c_str(),
                                 source->ProxyPort());
        }
        proxy.SetManual(source->ProxyName(), source->ProxyPort());
    }

    // A site that asked to be left alone is not asked before its time.
    const int64_t now = ServiceClock().Now();
    if (const auto cool = FindSiteCoolDown(BaseLocation(), now)) ThrowCoolDown(*cool, false);

    HttpTransfer client(&proxy, kInternetUserAgent, kLowSpeedLimit, kLowSpeedTime, kMaxRedirects,
                        std::min<uint64_t>(DownloadLimit(), HttpTransfer::kDefaultMaxBytes));
    client.SetRevalidate(FetchingCatalogue());
    const std::string url = BaseLocation() + "/" + remote_name;
    last_logged_bytes_ = 0;
    // The address may carry credentials: they never reach a log.
    say("Downloading '" + UrlForDisplay(url) + "'");
    if (progress != nullptr) progress->SetCurrentStatusText("Downloading " + remote_name);
    bool ok = false;
    {
        FileTransferOutput output(local_path);
        ok = client.Get(url, output, 1, [this](double total) { return OnProgress(total); },
                        [progress] { return progress != nullptr && progress->IsCancelled(); });
    }
    SetLastCode(client.ResponseCode());
    if (!ok) {
        SetLastError(client.ErrorText());
        ::unlink(local_path.c_str());  // no partial file is left behind
        // The transfer's own reason (an HTTP status, a TLS or resolver
        // error) gets a line of its own: the texts the pass reports later
        // ("Failed to get the latest available version") do not carry it.
        if (progress == nullptr || !progress->IsCancelled()) {
            say("Download of '" + remote_name + "' failed: " + client.ErrorText());
        }
        const int32_t code = client.ResponseCode();
        if (const int64_t wait = RetryAfterSeconds(code, client.RetryAfter(), now); wait > 0) {
            const SiteCoolDown cool{now + wait, code == 429 ? "HTTP 429 Too Many Requests" : "HTTP 503 Service Unavailable"};
            try {
                RecordSiteCoolDown(BaseLocation(), cool.not_before, cool.reason);
            } catch (const ExceptionBase& e) {
                say("The site's cool-down could not be kept: " + e.Message());
            }
            ThrowCoolDown(cool, true);
        }
    }
    return ok;
}

void CDownloaderINET::ThrowCoolDown(const SiteCoolDown& cool, bool asked) {
    const std::string text =
        "The update site asked to wait until " + CoolDownTimeText(cool.not_before) + " (" + cool.reason + ")";
    SetLastError(text);
    if (IUpdateProgress* const progress = Progress(); progress != nullptr) progress->AddMessageText(text);
    if (!asked) throw SiteCoolingDownException(0, text);
    throw CTLVexorNetException(0, text);
}

int CDownloaderINET::OnProgress(double total) {
    IUpdateProgress* const progress = Progress();
    if (progress != nullptr && progress->IsCancelled()) return 1;
    const auto bytes = static_cast<int32_t>(static_cast<int64_t>(total));
    if (bytes / 1000000 != last_logged_bytes_ / 1000000) {
        if (progress != nullptr) progress->AddMessage("Downloaded %d bytes", bytes);
        last_logged_bytes_ = bytes;
    }
    return 0;
}

void RegisterInternetDownloader() {
    RegisterDownloader(Internet, [](SourceSettings* settings) {
        return std::make_shared<CDownloaderINET>(settings);
    });
}

}  // namespace TesselSoftware
