#include "InternetTestEnvironment.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

namespace TesselSoftware::Testing {

namespace {

std::string Prepared(const std::string& root) {
    std::filesystem::create_directories(root + "/site/slow");
    ::chmod(root.c_str(), 0755);  // nginx's and the FTP server's readers
    return root + "/site";
}

// Created by the environment below, before any test runs, and destroyed
// after the last: the servers live for the whole program.
InternetServers* g_servers = nullptr;

class ServersEnvironment : public ::testing::Environment {
public:
    void SetUp() override { g_servers = new InternetServers(); }
    void TearDown() override {
        delete g_servers;
        g_servers = nullptr;
    }
};

const auto* const kRegistered = ::testing::AddGlobalTestEnvironment(new ServersEnvironment);

}  // namespace

InternetServers::InternetServers()
    : root_env("VEXOR_SYSTEM_ROOT", dir.path()),
      site(Prepared(dir.path())),
      trusted(dir / "tls-trusted"),
      untrusted(dir / "tls-untrusted", "Unknown Test CA"),
      nginx(dir / "nginx", site, trusted, untrusted),
      proxy(dir / "proxy", kProxyUser, kProxyPassword),
      ftp(site) {
    // The machine's roots: the test CA only.
    WriteFile(dir / "etc/ssl/certs/ca-certificates.crt", trusted.ca_pem);
}

InternetServers& Servers() { return *g_servers; }

}  // namespace TesselSoftware::Testing
