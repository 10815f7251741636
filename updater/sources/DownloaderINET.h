// CDownloaderINET: update files from an internet site (type 0) over HTTP,
// HTTPS or FTP, directly or through the source's proxy. It offers Download
// only; its listing is the base one and always fails.
#pragma once

#include <cstdint>

#include "sources/Downloader.h"

namespace TesselSoftware {

struct SiteCoolDown;

inline constexpr char kInternetUserAgent[] = "Vexor for Tessel 6.1.2.";

class CDownloaderINET : public CDownloader {
public:
    // Base location: the source's site address.
    explicit CDownloaderINET(SourceSettings* settings);

    // Fetches base + "/" + remote_name into local_path. Reports the
    // connection, "Downloading '<url>'" (user information hidden) and a
    // "Downloaded N bytes" line per new million bytes, at most once a
    // second; a cancelled update aborts it. A failed download leaves no
    // local file. A site that answered 429 or 503 with Retry-After is not
    // asked again before that time (SiteCoolDown): the download then, and
    // the one that got that answer, throw CTLVexorNetException "The update
    // site asked to wait until <time> (HTTP 429 Too Many Requests)". Catalogues
    // are asked for with "Cache-Control: no-cache".
    bool DownloadFile(const std::string& remote_name, const std::string& local_path) override;

private:
    // Throws the cool-down's text: as SiteCoolingDownException when the
    // site was not asked (asked false), else as CTLVexorNetException.
    [[noreturn]] void ThrowCoolDown(const SiteCoolDown& cool, bool asked);
    int OnProgress(double total);

    int32_t last_logged_bytes_ = 0;
};

// Registers the internet downloader for code 0.
void RegisterInternetDownloader();

}  // namespace TesselSoftware
