// Fallback sites: "VexorDatUpdater -once" against a configured site that
// fails in each way a mirror fails, with the origin listed as its fallback
// (FallbackSites); and every site failing.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <functional>

#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "InternetTestEnvironment.h"
#include "SitePublisher.h"
#include "UpdaterTestSupport.h"
#include "core/UpdaterSettings.h"
#include "sources/SiteFallback.h"

namespace TesselSoftware {
namespace {

namespace fs = std::filesystem;
using Testing::ReadFile;
using Testing::Servers;
using Testing::WriteFile;

constexpr VexorPublisher::Date kDate{2026, 12, 1};

class FallbackSiteTest : public ::testing::Test {
protected:
    FallbackSiteTest() : busy_site_({"/usr/bin/python3", VEXOR_RETRY_AFTER_SITE}) {
        busy_port_ = busy_site_.ReadLine();
        EXPECT_FALSE(busy_port_.empty()) << "the busy site did not start";
        std::string error;
        EXPECT_TRUE(VexorPublisher::WriteKeyPair(Servers().dir / "fallback-keys", &error)) << error;
    }
    ~FallbackSiteTest() override {
        fs::remove(trusted_key_);
        fs::remove_all(Servers().dir / "fallback-keys");
    }

    // A fresh DAT folder, the site address and its fallbacks.
    void Configure(const std::string& address, const std::vector<std::string>& fallbacks) {
        static int configured = 0;  // a folder of its own for each configuration of the program
        dat_ = Servers().dir / ("dat-fallback-" + std::to_string(++configured));
        fs::create_directories(Servers().dir / "opt/vexor");
        fs::remove(Servers().dir / "opt/vexor/7za");
        fs::create_symlink("/usr/bin/7za", Servers().dir / "opt/vexor/7za");
        UpdaterSettings settings;
        settings.Load();
        settings.SetDATFolder(dat_);
        settings.SetDATSource(Internet);
        settings.DatSourceSettings().SetAddress(address);
        settings.DatSourceSettings().SetUseProxy(false);
        settings.Save(SaveScope::Everything);
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
        key.WriteString("InstallPath", Servers().dir / "opt/vexor/");
        key.WriteString("EnginePath", fs::path(VEXOR_ENGINE_LIBRARY).parent_path().string() + "/");
        key.WriteString("LogPath", Servers().dir / "log");
        key.WriteMultiString(kDatFallbackSitesValue, fallbacks);
        key.WriteString("DATPath", "");  // nothing installed in the fresh folder
        key.WriteDword("DATVersion", 0);
        // The engine site offers nothing newer, signed: the passes update DAT files.
        Testing::OfferNoNewerEngine(Servers().dir / "engine-site");
        std::string error;
        EXPECT_TRUE(VexorPublisher::SignTree(Servers().dir / "engine-site",
                                             Servers().dir / "fallback-keys/vexor-publisher.key", &error))
            << error;
    }
    // A signed copy of version 2's site under the served folder.
    std::string Publish(const std::string& name, const VexorPublisher::SignOptions& options = {}) {
        const std::string folder = Servers().site + "/" + name;
        fs::remove_all(folder);
        std::string error;
        EXPECT_TRUE(VexorPublisher::WriteSite(ReadFile(VEXOR_SAMPLE_SIGNATURES), 1, 2, 1, kDate, {}, folder, &error))
            << error;
        EXPECT_TRUE(VexorPublisher::SignTree(folder, Servers().dir / "fallback-keys/vexor-publisher.key", &error,
                                             options))
            << error;
        return Servers().nginx.HttpUrl("/" + name);
    }
    void Trust() {
        WriteFile(trusted_key_, ReadFile(Servers().dir / "fallback-keys/vexor-publisher.pub"));
    }
    int RunOnce(std::string* output) {
        Testing::SpawnedProcess run({VEXOR_UPDATER_PROGRAM, "-once"});
        return run.Wait(output);
    }
    uint32_t Configured() {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
        uint32_t version = 0;
        key.ReadDword("DATVersion", 0, &version);
        std::string path;
        key.ReadString("DATPath", "", &path);
        if (version != 0) {
            EXPECT_EQ(dat_ + "/avvdat-" + std::to_string(version) + "-files", path);
        }
        return version;
    }
    std::string Busy(const std::string& path) const { return "http://127.0.0.1:" + busy_port_ + path; }

    Testing::SpawnedProcess busy_site_;
    std::string busy_port_;
    std::string dat_;
    const std::string trusted_key_ = Servers().dir / "etc/vexor/trusted-keys/fallback-publisher.pub";
};

// Each way the configured site fails sends the pass to the origin, which
// installs version 2 whole; the history names the site's failure.
TEST_F(FallbackSiteTest, EachFailureOfTheSiteFallsBackToTheNext) {
    const std::string origin = Publish("fallback-origin");
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    Trust();
    const struct Row {
        const char* what;
        std::function<std::string()> site;  // the failing site's address
        std::string failure;                // in the history
    } rows[] = {
        {"no connection", [&] { return "http://127.0.0.1:" + std::to_string(Testing::FreePort()) + "/site"; },
         "Couldn't connect to server"},
        {"a server error", [&] { return Busy("/500/none"); }, "500"},
        {"a busy site", [&] { return Busy("/429/600"); }, "429"},
        {"an expired catalogue",
         [&] {
             VexorPublisher::SignOptions expired;
             expired.now = now - 10 * 86400;
             expired.expires_seconds = 86400;
             return Publish("fallback-frozen", expired);
         },
         "The signed catalogue 'oem.ini' expired on "},
        {"a tampered mirror",
         [&] {
             const std::string address = Publish("fallback-tampered");
             const std::string oem = Servers().site + "/fallback-tampered/oem.ini";
             WriteFile(oem, ReadFile(oem) + "; changed\r\n");
             return address;
         },
         "The signature of 'oem.ini' does not match"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string site = row.site();
        Configure(site, {origin});
        std::string output;
        EXPECT_EQ(0, RunOnce(&output)) << output;
        EXPECT_EQ(2u, Configured());
        const size_t fell_back = output.find("The update site '" + site + "' failed (");
        EXPECT_NE(std::string::npos, fell_back) << output;
        const size_t again = output.find("the pass starts again from '" + origin + "'", fell_back);
        EXPECT_NE(std::string::npos, again) << output;
        EXPECT_LT(output.find(row.failure), again) << output;
        // The origin alone supplied the set: its catalogue, archive and
        // signatures, nothing of the failing site.
        EXPECT_NE(std::string::npos, output.find(origin.substr(7) + "/avvdat-2.zip", fell_back)) << output;
    }
}

// When every site fails the pass fails, naming each site and its reason,
// and nothing is installed; without fallbacks a pass is what it always was.
TEST_F(FallbackSiteTest, APassFailsOnlyWhenEverySiteFailed) {
    const std::string dead = "http://127.0.0.1:" + std::to_string(Testing::FreePort()) + "/site";
    Configure(dead, {Busy("/503/none"), Busy("/429/600")});
    std::string output;
    EXPECT_EQ(1, RunOnce(&output)) << output;
    EXPECT_EQ(0u, Configured());
    const size_t error = output.find("Every update site failed: '" + dead + "': ");
    ASSERT_NE(std::string::npos, error) << output;
    EXPECT_NE(std::string::npos, output.find("; '" + Busy("/503/none") + "': ", error)) << output;
    EXPECT_NE(std::string::npos, output.find("; '" + Busy("/429/600") + "': ", error)) << output;

    // An unsigned site with no trusted key and no fallbacks: today's pass.
    const std::string plain = Servers().nginx.HttpUrl("/fallback-plain");
    {
        std::string error_text;
        fs::remove_all(Servers().site + "/fallback-plain");
        ASSERT_TRUE(VexorPublisher::WriteSite(ReadFile(VEXOR_SAMPLE_SIGNATURES), 1, 1, 0, kDate, {},
                                              Servers().site + "/fallback-plain", &error_text))
            << error_text;
    }
    Configure(plain, {});
    EXPECT_EQ(0, RunOnce(&output)) << output;
    EXPECT_EQ(1u, Configured());
    EXPECT_EQ(std::string::npos, output.find("starts again")) << output;
}

}  // namespace
}  // namespace TesselSoftware
