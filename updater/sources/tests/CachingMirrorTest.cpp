// Two updaters behind the shipped caching mirror example (nginx in front of
// the origin site): both install, the origin serves the archive once, and
// each updater's catalogue request reaches the origin, so a new version is
// seen at once.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "InternetTestEnvironment.h"
#include "SitePublisher.h"
#include "UpdaterTestSupport.h"
#include "core/UpdaterSettings.h"

namespace TesselSoftware {
namespace {

namespace fs = std::filesystem;
using Testing::ReadFile;
using Testing::Servers;

// The example, with its port, origin and cache folder put where the test
// runs, inside an nginx configuration of the test's own.
class Mirror {
public:
    Mirror(const std::string& folder, const std::string& origin) : port_(Testing::FreePort()) {
        fs::create_directories(folder + "/cache");
        std::string site = ReadFile(VEXOR_MIRROR_EXAMPLE);
        site = std::regex_replace(site, std::regex("listen 8080;"), "listen 127.0.0.1:" + std::to_string(port_) + ";");
        site = std::regex_replace(site, std::regex("http://origin\\.example"), origin);
        site = std::regex_replace(site, std::regex("/var/cache/nginx/vexor"), folder + "/cache");
        Testing::WriteFile(folder + "/vexor-mirror.conf", site);
        Testing::WriteFile(folder + "/nginx.conf",
                           "user root;\npid " + folder + "/nginx.pid;\nerror_log " + folder + "/error.log;\n"
                           "events { worker_connections 64; }\n"
                           "http {\n  access_log " + folder + "/access.log;\n"
                           "  client_body_temp_path " + folder + "/body; proxy_temp_path " + folder + "/proxy;\n"
                           "  fastcgi_temp_path " + folder + "/fastcgi; uwsgi_temp_path " + folder + "/uwsgi;\n"
                           "  scgi_temp_path " + folder + "/scgi;\n"
                           "  include " + folder + "/vexor-mirror.conf;\n}\n");
        process_ = std::make_unique<Testing::SpawnedProcess>(std::vector<std::string>{
            "/usr/sbin/nginx", "-p", folder, "-c", folder + "/nginx.conf", "-g", "daemon off; master_process off;"});
        Testing::WaitForPort(port_);
    }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

private:
    int port_;
    std::unique_ptr<Testing::SpawnedProcess> process_;
};

// Requests for path in an nginx access log.
int Requests(const std::string& log, const std::string& path) {
    std::ifstream in(log);
    int count = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.find("\"GET " + path + " ") != std::string::npos) ++count;
    }
    return count;
}

// A system root of its own for one updater, its DAT source the mirror.
void ConfigureUpdater(const std::string& root, const std::string& site) {
    Testing::ScopedEnv env("VEXOR_SYSTEM_ROOT", root);
    fs::create_directories(root + "/opt/vexor");
    fs::create_symlink("/usr/bin/7za", root + "/opt/vexor/7za");
    UpdaterSettings settings;
    settings.Load();
    settings.SetDATFolder(root + "/dat");
    settings.SetDATSource(Internet);
    settings.DatSourceSettings().SetAddress(site);
    settings.Save(SaveScope::Everything);
    RegistryKey key;
    key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
    key.WriteString("InstallPath", root + "/opt/vexor/");
    key.WriteString("EnginePath", fs::path(VEXOR_ENGINE_LIBRARY).parent_path().string() + "/");
    key.WriteString("LogPath", root + "/log");
    Testing::OfferNoNewerEngine(root + "/engine-site");
}

TEST(CachingMirror, TwoUpdatersBehindTheExampleMirrorFetchTheArchiveFromTheOriginOnce) {
    std::string error;
    ASSERT_TRUE(VexorPublisher::WriteSite(ReadFile(VEXOR_SAMPLE_SIGNATURES), 1, 1, 0, {2026, 12, 1}, {},
                                          Servers().site + "/mirrored", &error))
        << error;
    const std::string folder = Servers().dir / "mirror";
    const Mirror mirror(folder, Servers().nginx.HttpUrl());
    const std::string roots[] = {Servers().dir / "fleet-a", Servers().dir / "fleet-b"};
    for (const std::string& root : roots) ConfigureUpdater(root, mirror.Url("/mirrored"));

    std::vector<std::unique_ptr<Testing::SpawnedProcess>> runs;
    for (const std::string& root : roots) {
        Testing::ScopedEnv env("VEXOR_SYSTEM_ROOT", root);
        runs.push_back(std::make_unique<Testing::SpawnedProcess>(std::vector<std::string>{VEXOR_UPDATER_PROGRAM, "-once"}));
    }
    for (auto& run : runs) {
        std::string output;
        EXPECT_EQ(0, run->Wait(&output)) << output;
    }
    const std::string origin_log = Servers().dir / "nginx/logs/access.log";
    EXPECT_EQ(1, Requests(origin_log, "/mirrored/avvdat-1.zip")) << "the cache lock or the cache did not hold";
    EXPECT_EQ(2, Requests(folder + "/access.log", "/mirrored/avvdat-1.zip"));
    EXPECT_EQ(2, Requests(origin_log, "/mirrored/oem.ini")) << "a catalogue request was answered from the cache";
}

}  // namespace
}  // namespace TesselSoftware
