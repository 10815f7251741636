#include "TestServers.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace TesselSoftware::Testing {

namespace {

int ConnectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::close(fd);
    return rc;
}

void Run(const std::string& command) {
    ASSERT_EQ(0, std::system((command + " > /dev/null 2>&1").c_str())) << command;
}

std::string Host(int port) { return "127.0.0.1:" + std::to_string(port); }

// A server started for a test dies with the test, even when the test
// crashes: a left-over server would hold its port for the next program.
std::unique_ptr<SpawnedProcess> StartServer(std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--pdeathsig", "KILL"});
    return std::make_unique<SpawnedProcess>(argv);
}

}  // namespace

std::string RandomBytes(size_t count) {
    std::string bytes(count, '\0');
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        byte = static_cast<char>(state);
    }
    return bytes;
}

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

void WaitForPort(int port) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ConnectTo(port) != 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "nothing listens on port " << port;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

TestCertificates::TestCertificates(const std::string& folder, const std::string& name) {
    std::filesystem::create_directories(folder);
    const std::string f = "'" + folder + "'";
    Run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=" + name + "' -keyout " + f +
        "/ca.key -out " + f + "/ca.pem");
    Run("openssl req -newkey rsa:2048 -nodes -subj '/CN=127.0.0.1' -keyout " + f +
        "/server.key -out " + f + "/server.csr");
    WriteFile(folder + "/ext.cnf", "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    Run("openssl x509 -req -days 2 -in " + f + "/server.csr -CA " + f + "/ca.pem -CAkey " + f +
        "/ca.key -CAcreateserial -extfile " + f + "/ext.cnf -out " + f + "/server.pem");
    ca_pem = ReadFile(folder + "/ca.pem");
    server_certificate = folder + "/server.pem";
    server_key = folder + "/server.key";
}

NginxServer::NginxServer(const std::string& folder, const std::string& root,
                         const TestCertificates& tls, const TestCertificates& other_tls)
    : http_port_(FreePort()), https_port_(FreePort()), untrusted_port_(FreePort()) {
    std::filesystem::create_directories(folder + "/logs");
    std::string redirects;
    for (int n = 1; n <= 9; ++n) {
        redirects += "    location = /redirect/" + std::to_string(n) + " { return 302 /redirect/" +
                     std::to_string(n - 1) + "; }\n";
    }
    const std::string places =
        "    root " + root + ";\n"
        "    gzip on; gzip_types *; gzip_min_length 1;\n" + redirects +
        "    location = /redirect/0 { return 302 /oem.ini; }\n"
        "    location = /status/399 { return 399 'odd but fine'; }\n"
        "    location = /status/400 { return 400; }\n"
        "    location /slow/ { limit_rate 1m; limit_rate_after 0; }\n"
        "    location /plain/ { gzip off; }\n"
        "    location /to-https/ { rewrite ^/to-https/(.*)$ https://127.0.0.1:" +
        std::to_string(https_port_) + "/$1 redirect; }\n";
    WriteFile(folder + "/nginx.conf",
              "user root;\n"
              "pid " + folder + "/nginx.pid;\n"
              "error_log " + folder + "/logs/error.log;\n"
              "events { worker_connections 64; }\n"
              "http {\n"
              "  access_log " + folder + "/logs/access.log;\n"
              "  client_body_temp_path " + folder + "/body; proxy_temp_path " + folder + "/proxy;\n"
              "  fastcgi_temp_path " + folder + "/fastcgi; uwsgi_temp_path " + folder + "/uwsgi;\n"
              "  scgi_temp_path " + folder + "/scgi;\n"
              "  default_type application/octet-stream;\n"
              "  server {\n    listen " + Host(http_port_) + ";\n" + places + "  }\n"
              "  server {\n    listen " + Host(https_port_) + " ssl;\n"
              "    ssl_certificate " + tls.server_certificate + ";\n"
              "    ssl_certificate_key " + tls.server_key + ";\n" + places + "  }\n"
              "  server {\n    listen " + Host(untrusted_port_) + " ssl;\n"
              "    ssl_certificate " + other_tls.server_certificate + ";\n"
              "    ssl_certificate_key " + other_tls.server_key + ";\n" + places + "  }\n"
              "}\n");
    process_ = StartServer({
        "/usr/sbin/nginx", "-p", folder, "-c", folder + "/nginx.conf", "-g",
        "daemon off; master_process off;"});
    WaitForPort(http_port_);
    WaitForPort(https_port_);
    WaitForPort(untrusted_port_);
}

std::string NginxServer::UntrustedUrl(const std::string& path) const {
    return "https://" + Host(untrusted_port_) + path;
}

std::string NginxServer::HttpUrl(const std::string& path) const {
    return "http://" + Host(http_port_) + path;
}

std::string NginxServer::HttpsUrl(const std::string& path) const {
    return "https://" + Host(https_port_) + path;
}

ProxyServer::ProxyServer(const std::string& folder, const std::string& user,
                         const std::string& password)
    : port_(FreePort()), log_path_(folder + "/tinyproxy.log") {
    std::filesystem::create_directories(folder);
    WriteFile(folder + "/tinyproxy.conf",
              "User root\nGroup root\nPort " + std::to_string(port_) +
                  "\nListen 127.0.0.1\nTimeout 60\nLogFile \"" + log_path_ +
                  "\"\nLogLevel Info\nMaxClients 20\nAllow 127.0.0.1\n"
                  "BasicAuth " + user + " " + password + "\n");
    process_ = StartServer({
        "/usr/bin/tinyproxy", "-d", "-c", folder + "/tinyproxy.conf"});
    WaitForPort(port_);
}

int ProxyServer::CountLogged(const std::string& text) const {
    if (!Exists(log_path_)) return 0;
    const std::string log = ReadFile(log_path_);
    int count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
}

FtpServer::FtpServer(const std::string& root, const std::string& user, const std::string& password)
    : port_(FreePort()) {
    std::vector<std::string> argv = {"/usr/bin/python3", "-m", "pyftpdlib", "-i", "127.0.0.1",
                                     "-p", std::to_string(port_), "-d", root};
    if (!user.empty()) {
        argv.insert(argv.end(), {"-u", user, "-P", password});
    }
    process_ = StartServer(argv);
    WaitForPort(port_);
}

std::string FtpServer::Url(const std::string& path, const std::string& credentials) const {
    return "ftp://" + (credentials.empty() ? "" : credentials + "@") + Host(port_) + path;
}

OddServer::OddServer(const std::string& behaviour, const std::string& body) : port_(FreePort()) {
    static const char kScript[] = R"PY(
import socket, sys, time
port, behaviour, body = int(sys.argv[1]), sys.argv[2], open(sys.argv[3], 'rb').read()
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(('127.0.0.1', port))
server.listen(8)
answers = 0
while True:
    client, _ = server.accept()
    request = b''
    while b'\r\n\r\n' not in request:
        chunk = client.recv(4096)
        if not chunk:
            break
        request += chunk
    if not request:  # a probe of the port, not a request
        client.close()
        continue
    head = b'HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n' % len(body)
    answers += 1
    if behaviour == 'truncate-first' and answers == 1:
        client.sendall(head + body[:len(body) // 2])
    elif behaviour == 'stall':
        client.sendall(head + body[:1])
        time.sleep(60)
    elif behaviour == 'drip':
        client.sendall(head)
        for i in range(len(body)):
            time.sleep(0.1)
            client.sendall(body[i:i + 1])
    else:
        client.sendall(head + body)
    client.close()
)PY";
    const std::string folder = std::filesystem::temp_directory_path() /
                               ("vexor-odd-" + std::to_string(port_));
    std::filesystem::create_directories(folder);
    WriteFile(folder + "/server.py", kScript);
    WriteFile(folder + "/body", body);
    process_ = StartServer({
        "/usr/bin/python3", folder + "/server.py", std::to_string(port_), behaviour,
        folder + "/body"});
    WaitForPort(port_);
    std::filesystem::remove_all(folder);  // the server has read what it needs
}

std::string OddServer::Url(const std::string& path) const {
    return "http://" + Host(port_) + path;
}

SmbServer::SmbServer(const std::string& folder, const std::string& share_path,
                     const std::string& guest_path, const std::string& password)
    : log_path_(folder + "/smbd.log") {
    if (::geteuid() != 0) {
        why_not_ = "smbd needs root to listen on port 445";
        return;
    }
    if (ConnectTo(445) == 0) {
        why_not_ = "another server already listens on port 445";
        return;
    }
    for (const char* sub : {"private", "lock", "state", "cache", "pid", "ncalrpc"}) {
        std::filesystem::create_directories(folder + "/" + sub);
    }
    WriteFile(folder + "/smb.conf",
              "[global]\n"
              "  interfaces = 127.0.0.1\n  bind interfaces only = yes\n  disable netbios = yes\n"
              "  smb ports = 445\n  map to guest = never\n  server role = standalone server\n"
              "  mangled names = no\n  log level = 2\n"
              "  private dir = " + folder + "/private\n  lock directory = " + folder + "/lock\n"
              "  state directory = " + folder + "/state\n  cache directory = " + folder + "/cache\n"
              "  pid directory = " + folder + "/pid\n  ncalrpc dir = " + folder + "/ncalrpc\n"
              "  passdb backend = tdbsam:" + folder + "/private/passdb.tdb\n"
              "[updates]\n  path = " + share_path + "\n  read only = yes\n  valid users = nobody\n"
              "[guest]\n  path = " + guest_path + "\n  read only = yes\n  guest ok = yes\n");
    Run("printf '%s\\n%s\\n' '" + password + "' '" + password + "' | smbpasswd -c '" + folder +
        "/smb.conf' -s -a nobody");
    process_ = StartServer({
        "/bin/sh", "-c",
        "exec /usr/sbin/smbd -F -s '" + folder + "/smb.conf' --debug-stdout > '" + log_path_ + "' 2>&1"});
    WaitForPort(445);
}

SmbServer::~SmbServer() {
    if (!process_) return;
    process_->Kill(SIGTERM);  // smbd ends its helpers on the way out
    process_->Wait();
}

int SmbServer::Connections() const {
    if (!Exists(log_path_)) return 0;
    const std::string log = ReadFile(log_path_);
    int count = 0;
    for (size_t at = log.find("connect to service updates"); at != std::string::npos;
         at = log.find("connect to service updates", at + 1)) {
        ++count;
    }
    return count;
}

NoProxyEnvironment::NoProxyEnvironment() {
    for (const char* name : {"http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "no_proxy",
                             "HTTP_PROXY", "HTTPS_PROXY", "FTP_PROXY", "ALL_PROXY", "NO_PROXY"}) {
        if (const char* value = std::getenv(name)) saved_.emplace_back(name, value);
        ::unsetenv(name);
    }
}

NoProxyEnvironment::~NoProxyEnvironment() {
    for (const auto& [name, value] : saved_) ::setenv(name.c_str(), value.c_str(), 1);
}

}  // namespace TesselSoftware::Testing
