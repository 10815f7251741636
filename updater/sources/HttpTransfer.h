// HttpTransfer: the one place where the updater talks to the network. It
// runs libcurl's easy interface with the configured proxy, trusts the
// machine's root certificates for TLS, retries in an order that depends on
// the scheme, lets the caller watch progress and cancel, and keeps one error
// text per request in the program's own wording.
//
//   ProxySettings proxy;                       // direct
//   HttpTransfer client(&proxy, "Vexor for Tessel 6.1.2.", 1, 180, 5);
//   FileTransferOutput out("/var/lib/vexor/dat/~avvdat-6544.zip");
//   if (!client.Get("https://mirror/avvdat-6544.zip", out, 1, progress, data))
//       log(client.ErrorText());
//
// A client and its proxy record belong to one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace TesselSoftware {

struct ParsedUrl;

enum ProxyMode : int32_t { kProxySystem = 0, kProxyDirect = 1, kProxyManual = 2 };

struct ProxySettings {
    int32_t mode = kProxyDirect;
    std::string host;
    int32_t port = 8080;  // passed on only when greater than 0
    bool authenticate = false;
    std::string user_name;
    std::string password;
    bool skip_host_verification = false;
    bool skip_peer_verification = false;

    void SetManual(const std::string& proxy_host, int32_t proxy_port) {
        mode = kProxyManual;
        host = proxy_host;
        port = proxy_port;
        authenticate = false;
    }
    void SetManual(const std::string& proxy_host, int32_t proxy_port, const std::string& user,
                   const std::string& secret) {
        SetManual(proxy_host, proxy_port);
        authenticate = true;
        user_name = user;
        password = secret;
    }
};

// Where a transfer's bytes go. Restart() empties it before each attempt, so
// a failed partial attempt never leaves its bytes in front of the next.
class TransferOutput {
public:
    TransferOutput() = default;
    TransferOutput(const TransferOutput&) = delete;
    TransferOutput& operator=(const TransferOutput&) = delete;
    virtual ~TransferOutput() = default;

    virtual bool Restart() = 0;
    virtual bool Write(const char* data, size_t length) = 0;
    // Everything written reached the file (it is closed without error).
    virtual bool Finish() = 0;
};

// A local file, created (or truncated) on construction.
class FileTransferOutput final : public TransferOutput {
public:
    explicit FileTransferOutput(const std::string& path);
    ~FileTransferOutput() override;

    bool Restart() override;
    bool Write(const char* data, size_t length) override;
    bool Finish() override;

private:
    int fd_;
};

// Called with the running byte total; a non-zero result cancels.
using TransferProgress = std::function<int(double total)>;

class HttpTransfer {
public:
    // Downloads larger than this (after content decoding) fail.
    static constexpr uint64_t kDefaultMaxBytes = 0x7FFFFFFF;

    // proxy must outlive the client; it is read at each attempt.
    HttpTransfer(const ProxySettings* proxy, std::string user_agent, int32_t low_speed_limit,
                 int32_t low_speed_time, int32_t max_redirects,
                 uint64_t max_bytes = kDefaultMaxBytes);
    HttpTransfer(const HttpTransfer&) = delete;
    HttpTransfer& operator=(const HttpTransfer&) = delete;

    // Fetches url into output. False with ErrorText() set on failure. Throws
    // std::runtime_error only when libcurl cannot make a handle at all.
    // cancelled, when given, is asked while bytes flow and about once a
    // second when none arrive: a true answer ends the transfer within about
    // a second, even on a stalled site, and nothing is retried. Every
    // transfer also has an overall time limit scaled to the size cap.
    bool Get(const std::string& url, TransferOutput& output, int attempts,
             const TransferProgress& progress, const std::function<bool()>& cancelled = {});

    // Requests ask every cache on the way to revalidate its copy with the
    // site ("Cache-Control: no-cache"): for files that name the newest version.
    void SetRevalidate(bool revalidate) { revalidate_ = revalidate; }

    const std::string& ErrorText() const { return error_text_; }
    int32_t ResponseCode() const { return response_code_; }
    // The Retry-After header of the last answer when it was 429 or 503, as
    // the site sent it; "" when there was none.
    const std::string& RetryAfter() const { return retry_after_; }
    // Attempts made by the last Get (direct and proxied alike).
    int AttemptsMade() const { return attempts_made_; }

private:
    struct Context;
    bool RequestDirect(const ParsedUrl& url, Context& context);
    bool RequestViaProxy(const ParsedUrl& url, Context& context);
    bool Request(const ParsedUrl& url, Context& context, bool via_proxy);
    // The steps of Request; handle is the request's libcurl easy handle.
    bool StartAttempt(Context& context, bool via_proxy);
    void SetTransferOptions(void* handle, Context& context, char* error_buffer) const;
    bool SetProxyOptions(void* handle, bool use_proxy, const std::string& credentials, const char* error_buffer);
    bool SetTargetOptions(void* handle, const ParsedUrl& url, const std::string& credentials,
                          const char* error_buffer);
    bool SetTlsOptions(void* handle, const ParsedUrl& url, const char* error_buffer);
    bool ReadAnswer(void* handle, int result, const Context& context, bool use_proxy, const char* error_buffer);
    bool ReadFileUrl(const ParsedUrl& url, Context& context);

    const ProxySettings* const proxy_;
    const std::string user_agent_;
    const int32_t low_speed_limit_;
    const int32_t low_speed_time_;
    const int32_t max_redirects_;
    const uint64_t max_bytes_;
    bool revalidate_ = false;
    std::string error_text_;
    std::string retry_after_;
    int32_t response_code_ = 0;
    int attempts_made_ = 0;
};

}  // namespace TesselSoftware
