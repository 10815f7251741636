// The servers every internet-source test of the program shares, started
// once: a scratch system root whose CA bundle trusts the test CA, a site
// folder served by nginx (HTTP, HTTPS, HTTPS with an untrusted CA),
// tinyproxy with Basic authentication, and an anonymous FTP server.
#pragma once

#include <memory>
#include <string>

#include "TestServers.h"
#include "TestSupport.h"

namespace TesselSoftware::Testing {

inline constexpr char kProxyUser[] = "vexor";
inline constexpr char kProxyPassword[] = "s3cret-proxy";

struct InternetServers {
    InternetServers();
    ScratchDir dir;
    ScopedEnv root_env;
    NoProxyEnvironment no_proxy;
    std::string site;  // the folder the servers serve
    TestCertificates trusted;
    TestCertificates untrusted;
    NginxServer nginx;
    ProxyServer proxy;
    FtpServer ftp;
};

// Started on first use, stopped at the end of the program.
InternetServers& Servers();

}  // namespace TesselSoftware::Testing
