// "VexorDatUpdater -once" against published update sites on real servers:
// over HTTPS through an authenticating proxy, and over FTP; a full update,
// then an incremental one through the engine.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>

#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "InternetTestEnvironment.h"
#include "SitePublisher.h"
#include "UpdaterTestSupport.h"
#include "core/UpdaterSettings.h"
#include "sources/SiteCoolDown.h"

namespace TesselSoftware {
namespace {

namespace fs = std::filesystem;
using Testing::ReadFile;
using Testing::Servers;

constexpr VexorPublisher::Date kDate{2026, 12, 1};

class InternetSiteTest : public ::testing::Test {
protected:
    // Settings for a DAT folder of this test and the site address given.
    void Configure(const std::string& address, bool via_proxy) {
        dat_ = Servers().dir / ("dat-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::create_directories(Servers().dir / "opt/vexor");
        fs::remove(Servers().dir / "opt/vexor/7za");
        fs::create_symlink("/usr/bin/7za", Servers().dir / "opt/vexor/7za");
        UpdaterSettings settings;
        settings.Load();
        settings.SetDATFolder(dat_);
        settings.SetDATSource(Internet);
        SourceSettings& source = settings.DatSourceSettings();
        source.SetAddress(address);
        source.SetUseProxy(via_proxy);
        source.SetProxyName("127.0.0.1");
        source.SetProxyPort(Servers().proxy.port());
        source.SetProxyUserName(Testing::kProxyUser);
        source.SetProxyPassword(Testing::kProxyPassword);
        settings.Save(SaveScope::Everything);
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
        key.WriteString("InstallPath", Servers().dir / "opt/vexor/");
        key.WriteString("EnginePath", fs::path(VEXOR_ENGINE_LIBRARY).parent_path().string() + "/");
        key.WriteString("LogPath", Servers().dir / "log");
        Testing::OfferNoNewerEngine(Servers().dir / "engine-site");
    }

    void Publish(const std::string& folder, uint32_t last) {
        std::string error;
        ASSERT_TRUE(VexorPublisher::WriteSite(ReadFile(VEXOR_SAMPLE_SIGNATURES), 1, last, last - 1,
                                              kDate, {}, folder, &error))
            << error;
    }

    // Runs one pass; its exit status, with its messages in *output.
    int RunOnce(std::string* output) {
        Testing::SpawnedProcess run({VEXOR_UPDATER_PROGRAM, "-once"});
        return run.Wait(output);
    }

    // The configured set holds exactly what the publisher makes of version.
    void ExpectConfigured(uint32_t version) {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
        const std::string path = key.ReadRequiredString("DATPath");
        EXPECT_EQ(dat_ + "/avvdat-" + std::to_string(version) + "-files", path);
        EXPECT_EQ(version, key.ReadRequiredDword("DATVersion"));
        std::string error;
        const std::string published = Servers().dir / ("published-" + std::to_string(version));
        ASSERT_TRUE(VexorPublisher::WriteDatSet(ReadFile(VEXOR_SAMPLE_SIGNATURES), version, kDate,
                                                published, &error));
        for (const char* name : {"avvscan.dat", "avvnames.dat", "avvclean.dat"}) {
            EXPECT_EQ(ReadFile(published + "/" + name), ReadFile(path + "/" + name)) << name;
        }
    }

    std::string dat_;
};

TEST_F(InternetSiteTest, HttpsThroughAnAuthenticatingProxyFullThenIncremental) {
    const std::string site = Servers().site + "/https-site";
    Publish(site, 1);
    Configure(Servers().nginx.HttpsUrl("/https-site"), true);
    const int tunnels = Servers().proxy.CountLogged("CONNECT 127.0.0.1:" +
                                                     std::to_string(Servers().nginx.https_port()));
    std::string output;
    EXPECT_EQ(0, RunOnce(&output)) << output;
    ExpectConfigured(1);
    EXPECT_NE(std::string::npos, output.find("Connecting via authenticated proxy: 127.0.0.1:"));
    EXPECT_EQ(std::string::npos, output.find(Testing::kProxyPassword));

    Publish(site, 2);
    EXPECT_EQ(0, RunOnce(&output)) << output;
    ExpectConfigured(2);
    EXPECT_NE(std::string::npos, output.find("Asking Vexor to update DAT files.")) << output;
    EXPECT_EQ(std::string::npos, output.find("Retrieving main definition files")) << output;
    EXPECT_LT(tunnels, Servers().proxy.CountLogged("CONNECT 127.0.0.1:" +
                                                    std::to_string(Servers().nginx.https_port())));
    EXPECT_EQ(2, RunOnce(&output)) << output;
}

// With the publisher's key trusted, a signed site installs over HTTP (each
// ".minisig" fetched from the same site), and a site whose signatures are
// gone is refused with the set left as it was.
TEST_F(InternetSiteTest, ASignedSiteOverHttpInstallsAndAnUnsignedOneIsRefused) {
    std::string error;
    const std::string keys = Servers().dir / "publisher-http";
    fs::remove_all(keys);
    ASSERT_TRUE(VexorPublisher::WriteKeyPair(keys, &error)) << error;
    const std::string site = Servers().site + "/signed-site";
    Publish(site, 1);
    Configure(Servers().nginx.HttpUrl("/signed-site"), false);
    ASSERT_TRUE(VexorPublisher::SignTree(site, keys + "/vexor-publisher.key", &error)) << error;
    ASSERT_TRUE(VexorPublisher::SignTree(Servers().dir / "engine-site", keys + "/vexor-publisher.key", &error)) << error;
    const std::string trusted = Servers().dir / "etc/vexor/trusted-keys/publisher.pub";
    Testing::WriteFile(trusted, ReadFile(keys + "/vexor-publisher.pub"));
    std::string output;
    EXPECT_EQ(0, RunOnce(&output)) << output;
    ExpectConfigured(1);

    Publish(site, 2);
    for (const auto& entry : fs::directory_iterator(site)) {
        if (entry.path().extension() == ".minisig") fs::remove(entry.path());
    }
    EXPECT_EQ(1, RunOnce(&output)) << output;
    RegistryKey key;
    key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
    const std::string result = key.ReadRequiredString("LastCheckResult");
    EXPECT_NE(std::string::npos, result.find("The signature of 'oem.ini' is missing")) << result;
    ExpectConfigured(1);
    fs::remove(trusted);
}

// An engine release as vexor-publish writes it, on a web server with a
// plain root (no rewrite): the updater's version request
// "default.asp?version=...&engine=...&bits=64" gets the published answer,
// signed for the name the updater keeps it under, and the release installs
// over HTTP. Without that answer the pass names the address that failed.
TEST_F(InternetSiteTest, APublishedEngineTreeOnAPlainWebServerInstallsOverHttp) {
    std::string error;
    const std::string keys = Servers().dir / "publisher-engine";
    fs::remove_all(keys);
    ASSERT_TRUE(VexorPublisher::WriteKeyPair(keys, &error)) << error;
    const std::string dat_site = Servers().site + "/engine-test-dat";
    Publish(dat_site, 1);
    Configure(Servers().nginx.HttpUrl("/engine-test-dat"), false);
    const std::string engine_site = Servers().site + "/engine610";
    fs::remove_all(engine_site);
    VexorPublisher::EngineRelease release;
    release.version = "6.9.0.0";
    release.engine_dir = "engine690";
    release.library = VEXOR_ENGINE_LIBRARY;
    release.date = kDate;
    ASSERT_TRUE(VexorPublisher::WriteEngineRelease(release, {}, engine_site, &error)) << error;
    for (const std::string& tree : {dat_site, engine_site}) {
        ASSERT_TRUE(VexorPublisher::SignTree(tree, keys + "/vexor-publisher.key", &error)) << error;
    }
    const std::string trusted = Servers().dir / "etc/vexor/trusted-keys/engine-publisher.pub";
    Testing::WriteFile(trusted, ReadFile(keys + "/vexor-publisher.pub"));
    {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
        key.WriteDword("EngineUpdateSource", Internet);
        key.WriteString("EngineUpdateINETAddress", Servers().nginx.HttpUrl("/engine610"));
    }
    fs::rename(engine_site + "/default.asp", engine_site + "/held-back.asp");
    std::string output;
    EXPECT_EQ(1, RunOnce(&output)) << output;
    RegistryKey key;
    key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
    const std::string result = key.ReadRequiredString("LastCheckResult");
    EXPECT_NE(std::string::npos,
              result.find("Failed to get EngineVersion.ini from '" + Servers().nginx.HttpUrl("/engine610") +
                          "/default.asp?version="))
        << result;

    fs::rename(engine_site + "/held-back.asp", engine_site + "/default.asp");
    EXPECT_EQ(0, RunOnce(&output)) << output;
    EXPECT_NE(std::string::npos, output.find("Updating to engine version 6.9.0.0")) << output;
    EXPECT_EQ(Servers().dir / "opt/vexor/Engine/6.9.0.0", key.ReadRequiredString("EnginePath"));
    ExpectConfigured(1);
    fs::remove(trusted);
}

// An engine site that asked for a day's rest (429, Retry-After: 86400) is
// not asked; that defers the engine check without failing the pass, and
// the DAT update runs with the configured engine. (The address serves
// nothing: had it been asked, the engine pass would have failed.)
TEST_F(InternetSiteTest, AnEngineSiteCoolingDownDefersTheEngineCheckAndTheDatUpdateRuns) {
    const std::string dat_site = Servers().site + "/cool-engine-dat";
    Publish(dat_site, 1);
    Configure(Servers().nginx.HttpUrl("/cool-engine-dat"), false);
    const std::string engine_address = Servers().nginx.HttpUrl("/resting-engine");
    {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
        key.WriteDword("EngineUpdateSource", Internet);
        key.WriteString("EngineUpdateINETAddress", engine_address);
    }
    RecordSiteCoolDown(engine_address, static_cast<int64_t>(std::time(nullptr)) + 86400, "HTTP 429 Too Many Requests");
    std::string output;
    EXPECT_EQ(0, RunOnce(&output)) << output;
    ExpectConfigured(1);
    EXPECT_NE(std::string::npos, output.find("The engine check is deferred: The update site asked to wait until"))
        << output;
    EXPECT_EQ(2, RunOnce(&output)) << output;  // up to date, still not failed
}

TEST_F(InternetSiteTest, FtpFullThenIncremental) {
    Publish(Servers().site + "/ftp-site", 1);
    Configure(Servers().ftp.Url("/ftp-site"), false);
    std::string output;
    EXPECT_EQ(0, RunOnce(&output)) << output;
    ExpectConfigured(1);
    Publish(Servers().site + "/ftp-site", 2);
    EXPECT_EQ(0, RunOnce(&output)) << output;
    ExpectConfigured(2);
    EXPECT_NE(std::string::npos, output.find("Asking Vexor to update DAT files.")) << output;
}

}  // namespace
}  // namespace TesselSoftware
