// Real servers for the internet source's tests, each started on 127.0.0.1
// at a free port in a scratch folder and stopped by its process id when the
// object goes: nginx (HTTP and HTTPS), tinyproxy with Basic authentication,
// an FTP server, and a small Python server that misbehaves on purpose.
#pragma once

#include <memory>
#include <string>

#include "TestSupport.h"

namespace TesselSoftware::Testing {

// count bytes that do not compress (the same every call).
std::string RandomBytes(size_t count);
// A port nothing listens on right now.
int FreePort();
// Waits until something accepts connections on 127.0.0.1:port; fails the
// test after 10 s.
void WaitForPort(int port);

// A CA and a server certificate for 127.0.0.1 it signed, made with the
// openssl command in folder. ca_pem is what a machine trusting the CA lists
// in its bundle.
struct TestCertificates {
    explicit TestCertificates(const std::string& folder, const std::string& name = "Vexor Test CA");
    std::string ca_pem;
    std::string server_certificate;  // path
    std::string server_key;          // path
};

// nginx serving root over HTTP and HTTPS (and HTTPS again with a
// certificate of another CA, on untrusted_port()), with gzip on and these extra
// places: /redirect/N answers 302 to /redirect/N-1 and /redirect/0 to
// /oem.ini; /status/399 and /status/400 answer with that code; files under
// /slow/ are sent at 1 MB/s, files under /plain/ never compressed;
// /to-https/NAME redirects to NAME over HTTPS.
class NginxServer {
public:
    NginxServer(const std::string& folder, const std::string& root, const TestCertificates& tls,
                const TestCertificates& other_tls);
    int http_port() const { return http_port_; }
    int https_port() const { return https_port_; }
    std::string UntrustedUrl(const std::string& path = "") const;
    std::string HttpUrl(const std::string& path = "") const;
    std::string HttpsUrl(const std::string& path = "") const;

private:
    int http_port_;
    int https_port_;
    int untrusted_port_;
    std::unique_ptr<SpawnedProcess> process_;
};

// tinyproxy requiring user:password, logging every request to log_path().
class ProxyServer {
public:
    ProxyServer(const std::string& folder, const std::string& user, const std::string& password);
    int port() const { return port_; }
    const std::string& log_path() const { return log_path_; }
    // Requests the proxy logged whose line holds text.
    int CountLogged(const std::string& text) const;

private:
    int port_;
    std::string log_path_;
    std::unique_ptr<SpawnedProcess> process_;
};

// pyftpdlib serving root, anonymously or to one account.
class FtpServer {
public:
    FtpServer(const std::string& root, const std::string& user = "", const std::string& password = "");
    int port() const { return port_; }
    std::string Url(const std::string& path, const std::string& credentials = "") const;

private:
    int port_;
    std::unique_ptr<SpawnedProcess> process_;
};

// A Python HTTP server with one behaviour:
//   "truncate-first": the first answer promises body but closes halfway,
//                     later answers send body whole;
//   "stall":          sends the headers and one byte, then nothing;
//   "drip":           sends the body one byte every 0.1 s.
class OddServer {
public:
    OddServer(const std::string& behaviour, const std::string& body);
    std::string Url(const std::string& path = "/file") const;
    int port() const { return port_; }

private:
    int port_;
    std::unique_ptr<SpawnedProcess> process_;
};

// smbd on 127.0.0.1:445 (a UNC path carries no port) with its own
// configuration and state in folder: the share "updates" (path share_path,
// for the account nobody / password only) and the share "guest" (path
// guest_path, open to guests), logging connections to log_path(). Where it
// cannot run (not root, or port 445 taken), available() is false and
// why_not() says why.
class SmbServer {
public:
    SmbServer(const std::string& folder, const std::string& share_path, const std::string& guest_path,
              const std::string& password);
    ~SmbServer();
    bool available() const { return process_ != nullptr; }
    const std::string& why_not() const { return why_not_; }
    const std::string& log_path() const { return log_path_; }
    // Connections to the share "updates" smbd logged so far.
    int Connections() const;

private:
    std::string log_path_;
    std::string why_not_;
    std::unique_ptr<SpawnedProcess> process_;
};

// Unsets the proxy environment variables for the object's lifetime.
class NoProxyEnvironment {
public:
    NoProxyEnvironment();
    ~NoProxyEnvironment();
    NoProxyEnvironment(const NoProxyEnvironment&) = delete;
    NoProxyEnvironment& operator=(const NoProxyEnvironment&) = delete;

private:
    std::vector<std::pair<std::string, std::string>> saved_;
};

}  // namespace TesselSoftware::Testing
