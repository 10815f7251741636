#include "sources/HttpTransfer.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <memory>
#include <stdexcept>

#include "Common/Errors/ExceptionBase.h"
#include "Common/Files/SimpleFile.h"
#include "sources/CertificateLookup.h"
#include "sources/UrlParser.h"

namespace TesselSoftware {

namespace {

// libcurl is initialised once for the process (all features) and cleaned
// up at exit only when that succeeded.
class CurlGlobal {
public:
    CurlGlobal() : ok_(curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK) {}
    ~CurlGlobal() {
        if (ok_) curl_global_cleanup();
    }
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;
    bool ok() const { return ok_; }

private:
    const bool ok_;
};

bool CurlReady() {
    static const CurlGlobal global;
    return global.ok();
}

struct HandleCloser {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using Handle = std::unique_ptr<CURL, HandleCloser>;
struct HeaderListCloser {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListCloser>;

std::string Formatted(const char* format, const std::string& text) {
    const int size = std::snprintf(nullptr, 0, format, text.c_str());
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    std::snprintf(out.data(), out.size() + 1, format, text.c_str());
    return out;
}

CURLcode AddMachineRoots(CURL*, void* ssl_context, void*) {
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(ssl_context));
    return AddMachineRootLookup(store) ? CURLE_OK : CURLE_SSL_CERTPROBLEM;
}

}  // namespace

// ---- FileTransferOutput ------------------------------------------------

FileTransferOutput::FileTransferOutput(const std::string& path)
    : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) {}

FileTransferOutput::~FileTransferOutput() {
    if (fd_ >= 0) ::close(fd_);
}

bool FileTransferOutput::Restart() {
    if (fd_ < 0) return false;
    struct stat info;
    if (::fstat(fd_, &info) != 0) return false;
    // A file still empty needs no truncation, and must not get one: ext4
    // takes a truncation to zero for a replace-by-rewrite and flushes the
    // whole new content when the file is closed.
    if (info.st_size != 0 && ::ftruncate(fd_, 0) != 0) return false;
    return ::lseek(fd_, 0, SEEK_SET) == 0;
}

bool FileTransferOutput::Write(const char* data, size_t length) {
    if (fd_ < 0) return false;
    while (length > 0) {
        const ssize_t put = ::write(fd_, data, length);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        data += put;
        length -= static_cast<size_t>(put);
    }
    return true;
}

bool FileTransferOutput::Finish() {
    // Bytes go out with write(2) unbuffered; close reports what the file
    // system could not take (quota, NFS). Durability before use is the
    // caller's: the DAT run flushes every set before it switches.
    if (fd_ < 0) return false;
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    return closed;
}

// ---- HttpTransfer --------------------------------------------------------

struct HttpTransfer::Context {
    TransferOutput* output;
    const TransferProgress* progress;
    const std::function<bool()>* cancel_check;
    uint64_t max_bytes;
    double total = 0;
    std::chrono::steady_clock::time_point last_progress;
    bool write_failed = false;
    bool too_large = false;
    bool cancelled = false;

    void Restart() {
        total = 0;
        write_failed = too_large = false;
    }

    // libcurl's write function: each received block, after content decoding.
    static size_t Write(char* data, size_t size, size_t count, void* user) {
        Context& context = *static_cast<Context*>(user);
        const size_t length = size * count;
        if (context.total + static_cast<double>(length) > static_cast<double>(context.max_bytes)) {
            context.too_large = true;
            return 0;
        }
        if (!context.output->Write(data, length)) {
            context.write_failed = true;
            return 0;
        }
        context.total += static_cast<double>(length);
        if (context.Cancelled()) return 0;
        if (!*context.progress) return length;
        const auto now = std::chrono::steady_clock::now();
        if (now - context.last_progress < std::chrono::seconds(1)) return length;
        context.last_progress = now;
        if ((*context.progress)(context.total) != 0) {
            context.cancelled = true;
            return 0;
        }
        return length;
    }

    // libcurl's progress function: called while bytes flow and, when none
    // arrive, about once a second, so a cancel acts even on a stalled site.
    static int Progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<Context*>(user)->Cancelled() ? 1 : 0;
    }

    bool Cancelled() {
        if (!cancelled && *cancel_check) cancelled = (*cancel_check)();
        return cancelled;
    }
};

namespace {

// libcurl refuses an overall time-out above this many seconds (it keeps
// the time in milliseconds in an int), and then makes no transfer at all.
constexpr uint64_t kLongestTimeoutSeconds = INT_MAX / 1000;

// The longest a transfer of at most max_bytes may take in all: two minutes,
// plus the cap at 32 KiB a second, at most what libcurl takes (24 days). A
// site that keeps a transfer just above the low-speed limit cannot hold a
// pass for ever.
long OverallTimeoutSeconds(uint64_t max_bytes) {
    return static_cast<long>(std::min(120 + max_bytes / (32 * 1024), kLongestTimeoutSeconds));
}

}  // namespace

HttpTransfer::HttpTransfer(const ProxySettings* proxy, std::string user_agent,
                           int32_t low_speed_limit, int32_t low_speed_time, int32_t max_redirects,
                           uint64_t max_bytes)
    : proxy_(proxy),
      user_agent_(std::move(user_agent)),
      low_speed_limit_(low_speed_limit),
      low_speed_time_(low_speed_time),
      max_redirects_(max_redirects),
      max_bytes_(max_bytes) {}

bool HttpTransfer::Get(const std::string& url, TransferOutput& output, int attempts,
                       const TransferProgress& progress, const std::function<bool()>& cancelled) {
    attempts_made_ = 0;
    ParsedUrl parsed;
    if (!parsed.Parse(url)) {
        error_text_ = Formatted("Invalid URL <%s>", UrlForDisplay(url));
        return false;
    }
    if (parsed.scheme < kSchemeFile || parsed.scheme > kSchemeHttps) {
        error_text_ = Formatted("Unsupported protocol <%s>", UrlForDisplay(url));
        return false;
    }
    Context context{&output, &progress, &cancelled, max_bytes_, 0, std::chrono::steady_clock::now()};
    for (int attempt = 0; attempt < attempts && !context.cancelled; ++attempt) {
        if (parsed.scheme == kSchemeFile) return ReadFileUrl(parsed, context);
        if (parsed.scheme == kSchemeFtp) {
            // Some proxies cannot carry FTP: the site is tried directly first.
            if (RequestDirect(parsed, context)) return true;
            if (context.cancelled) break;
            if (RequestViaProxy(parsed, context)) return true;
            if (proxy_->mode != kProxyDirect && !context.cancelled &&
                RequestViaProxy(parsed, context)) {
                return true;
            }
        } else if (RequestViaProxy(parsed, context)) {
            return true;
        }
    }
    return false;
}

bool HttpTransfer::RequestDirect(const ParsedUrl& url, Context& context) {
    return Request(url, context, false);
}

bool HttpTransfer::RequestViaProxy(const ParsedUrl& url, Context& context) {
    return Request(url, context, true);
}

// One request, step by step: the attempt's start, the transfer's own
// options, the proxy, the target, TLS, then the answer. A step that fails
// sets error_text_; libcurl failing to take an option it always takes
// throws std::runtime_error.
bool HttpTransfer::Request(const ParsedUrl& url, Context& context, bool via_proxy) {
    if (!StartAttempt(context, via_proxy)) return false;
    if (!CurlReady()) throw std::runtime_error("Libcurl not initialised, or returned NULL handle.");
    Handle handle(curl_easy_init());
    if (!handle) throw std::runtime_error("Libcurl not initialised, or returned NULL handle.");
    CURL* const h = handle.get();
    char error_buffer[CURL_ERROR_SIZE] = {};
    SetTransferOptions(h, context, error_buffer);
    // A catalogue names the newest version: a cache between here and the
    // site must ask the site whether its copy is still current. Nothing
    // else is asked of caches, so they keep a version's archives for long.
    HeaderList headers(revalidate_ ? curl_slist_append(nullptr, "Cache-Control: no-cache") : nullptr);
    if (revalidate_ && (!headers || curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()) != CURLE_OK)) {
        throw std::runtime_error("Failed to initialise libcurl handle.");
    }
    // The configured proxy is the only one: proxy environment variables
    // (http_proxy, no_proxy, ...) change nothing, and direct means direct.
    const bool use_proxy = via_proxy && proxy_->mode == kProxyManual;
    // libcurl keeps pointers to these texts until the transfer ends.
    const std::string proxy_credentials = proxy_->user_name + ":" + proxy_->password;
    const std::string credentials = PercentDecode(url.user_info);
    if (!SetProxyOptions(h, use_proxy, proxy_credentials, error_buffer) ||
        !SetTargetOptions(h, url, credentials, error_buffer) || !SetTlsOptions(h, url, error_buffer)) {
        return false;
    }
    const CURLcode result = curl_easy_perform(h);
    return ReadAnswer(h, result, context, use_proxy, error_buffer);
}

bool HttpTransfer::StartAttempt(Context& context, bool via_proxy) {
    ++attempts_made_;
    response_code_ = 0;
    retry_after_.clear();
    // Every attempt starts from an empty output: bytes of a failed attempt
    // must never end up in front of a later one's.
    context.Restart();
    if (!context.output->Restart()) {
        error_text_ = "Write error";
        return false;
    }
    if (via_proxy && proxy_->mode == kProxySystem) {
        error_text_ = "Microsoft registry pre-configured proxy access is not supported.";
        return false;
    }
    return true;
}

void HttpTransfer::SetTransferOptions(void* handle, Context& context, char* error_buffer) const {
    CURL* const h = handle;
    // Schemes this client serves; a redirect may never lead to a local file.
    const bool ok =
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https,ftp,file") == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https,ftp") == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_buffer) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &Context::Progress) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_XFERINFODATA, &context) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_TIMEOUT, OverallTimeoutSeconds(max_bytes_)) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(low_speed_limit_)) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(low_speed_time_)) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "gzip, deflate") == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_HTTP_CONTENT_DECODING, 1L) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL)) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_MAXREDIRS, static_cast<long>(max_redirects_)) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_USERAGENT, user_agent_.c_str()) == CURLE_OK &&
        // Large receive blocks, as the curl command line uses.
        curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 256L * 1024) == CURLE_OK &&
        // An announced size over the cap fails before the body comes (a
        // cap past what curl_off_t holds is no cap at all).
        curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE,
                         static_cast<curl_off_t>(std::min<uint64_t>(max_bytes_, INT64_MAX))) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &context) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Context::Write) == CURLE_OK;
    if (!ok) throw std::runtime_error("Failed to initialise libcurl handle.");
}

bool HttpTransfer::SetProxyOptions(void* handle, bool use_proxy, const std::string& credentials,
                                   const char* error_buffer) {
    CURL* const h = handle;
    bool ok = curl_easy_setopt(h, CURLOPT_NOPROXY, "") == CURLE_OK &&
              curl_easy_setopt(h, CURLOPT_PROXY, use_proxy ? proxy_->host.c_str() : "") == CURLE_OK;
    if (ok && use_proxy && proxy_->port > 0) {
        ok = curl_easy_setopt(h, CURLOPT_PROXYPORT, static_cast<long>(proxy_->port)) == CURLE_OK;
    }
    if (ok && use_proxy && proxy_->authenticate) {
        ok = curl_easy_setopt(h, CURLOPT_PROXYUSERPWD, credentials.c_str()) == CURLE_OK &&
             curl_easy_setopt(h, CURLOPT_PROXYAUTH,
                              static_cast<long>(CURLAUTH_BASIC | CURLAUTH_DIGEST | CURLAUTH_NTLM |
                                                CURLAUTH_DIGEST_IE)) == CURLE_OK;
    }
    if (!ok) error_text_ = Formatted("Failed to set proxy details: %s.", error_buffer);
    return ok;
}

bool HttpTransfer::SetTargetOptions(void* handle, const ParsedUrl& url, const std::string& credentials,
                                    const char* error_buffer) {
    CURL* const h = handle;
    // The site's own port and user information travel beside the URL.
    const bool ok = curl_easy_setopt(h, CURLOPT_URL, url.url.c_str()) == CURLE_OK &&
                    (url.port.empty() ||
                     curl_easy_setopt(h, CURLOPT_PORT, std::stol(url.port.substr(0, 9))) == CURLE_OK) &&
                    (url.user_info.empty() || curl_easy_setopt(h, CURLOPT_USERPWD, credentials.c_str()) == CURLE_OK);
    if (!ok) error_text_ = Formatted("Failed to parse url: %s", error_buffer);
    return ok;
}

bool HttpTransfer::SetTlsOptions(void* handle, const ParsedUrl& url, const char* error_buffer) {
    CURL* const h = handle;
    // TLS trusts the machine's roots only; http gets the same set-up so a
    // redirect to https is verified the same way.
    if (url.scheme != kSchemeHttps && url.scheme != kSchemeHttp) return true;
    const bool ok = curl_easy_setopt(h, CURLOPT_CAINFO, nullptr) == CURLE_OK &&
                    curl_easy_setopt(h, CURLOPT_CAPATH, nullptr) == CURLE_OK &&
                    curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &AddMachineRoots) == CURLE_OK &&
                    (!proxy_->skip_host_verification || curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L) == CURLE_OK) &&
                    (!proxy_->skip_peer_verification || curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L) == CURLE_OK);
    if (!ok) error_text_ = Formatted("Failed to initalise SSL: %s", error_buffer);
    return ok;
}

bool HttpTransfer::ReadAnswer(void* handle, int result, const Context& context, bool use_proxy,
                              const char* error_buffer) {
    CURL* const h = handle;
    if (context.cancelled) {
        error_text_ = "Request failed: Cancelled";
        return false;
    }
    if (context.too_large || result == CURLE_FILESIZE_EXCEEDED) {
        error_text_ = "Request failed: Maximum file size exceeded";
        return false;
    }
    if (context.write_failed) {
        error_text_ = "Write error";
        return false;
    }
    if (result == CURLE_TOO_MANY_REDIRECTS) {
        error_text_ = Formatted(use_proxy ? "Request failed, please check your proxy settings. %s" : "Request failed: %s",
                                error_buffer);
        return false;
    }
    if (result == CURLE_PEER_FAILED_VERIFICATION) {
        error_text_ = Formatted("Request failed, please see Quorvane Knowledge Base article Q13703. %s", error_buffer);
        return false;
    }
    if (result != CURLE_OK) {
        error_text_ = Formatted("Request failed: %s", error_buffer);
        return false;
    }
    long code = 0;
    if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) {
        error_text_ = Formatted("Request failed: Failed to get response code: %s", error_buffer);
        return false;
    }
    response_code_ = static_cast<int32_t>(code);
    if (code == 429 || code == 503) {
        // How long the site asks to be left alone, as it wrote it.
        curl_header* header = nullptr;
        if (curl_easy_header(h, "Retry-After", 0, CURLH_HEADER, -1, &header) == CURLHE_OK && header != nullptr) {
            retry_after_ = header->value;
        }
    }
    if (code >= 400) {
        error_text_ = "Request failed: Response code: " + std::to_string(code) + " returned.";
        return false;
    }
    // Only bytes that reached the disk count as downloaded.
    if (!context.output->Finish()) {
        error_text_ = "Write error";
        return false;
    }
    return true;
}

bool HttpTransfer::ReadFileUrl(const ParsedUrl& url, Context& context) {
    ++attempts_made_;
    if (!context.output->Restart()) {
        error_text_ = "Write error";
        return false;
    }
    try {
        CSimpleFile file(PercentDecode(url.path));
        char block[1024];
        while (const uint32_t got = file.Read(block, sizeof block)) {
            if (context.total + got > static_cast<double>(context.max_bytes)) {
                error_text_ = "Request failed: Maximum file size exceeded";
                return false;
            }
            if (!context.output->Write(block, got)) {
                error_text_ = "Write error";
                return false;
            }
            context.total += got;
            if (*context.progress && (*context.progress)(context.total) != 0) {
                error_text_ = "Operation aborted by progress callback";
                return false;
            }
        }
    } catch (const ExceptionBase& e) {
        error_text_ = e.Message();
        return false;
    }
    if (!context.output->Finish()) {
        error_text_ = "Write error";
        return false;
    }
    return true;
}

}  // namespace TesselSoftware
