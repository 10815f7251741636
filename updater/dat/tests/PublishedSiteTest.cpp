// DAT update passes against sites built by the publisher, with the real
// engine library doing the patch step: every road and every broken site.
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <map>

#include "Common/Errors/ExceptionBase.h"
#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "DatSiteBuilder.h"
#include "SitePublisher.h"
#include "TestSupport.h"
#include "UpdaterTestSupport.h"
#include "core/UpdaterCore.h"
#include "sources/CatalogueFreshness.h"
#include "sources/DownloaderFS.h"
#include "sources/TrustedKeys.h"

namespace TesselSoftware {
namespace {

namespace fs = std::filesystem;
using Testing::ReadFile;
using Testing::WriteFile;
using VexorPublisher::SiteFaults;

constexpr VexorPublisher::Date kDate{2026, 12, 1};

std::map<std::string, std::string> FilesOf(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        files[entry.path().filename().string()] = ReadFile(entry.path().string());
    }
    return files;
}

class PublishedSiteTest : public ::testing::Test {
protected:
    PublishedSiteTest() : root_env_("VEXOR_SYSTEM_ROOT", dir_.path()) {
        Testing::PrepareDatRoot(dir_.path());
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
        key.WriteString("EnginePath", fs::path(VEXOR_ENGINE_LIBRARY).parent_path().string());
        core_.Load();
    }

    void Publish(uint32_t first, uint32_t last, const SiteFaults& faults = {}) {
        std::string error;
        ASSERT_TRUE(VexorPublisher::WriteSite(ReadFile(VEXOR_SAMPLE_SIGNATURES), first, last,
                                              last - first, kDate, faults, dir_ / "site", &error))
            << error;
    }
    std::string Set(uint32_t version) const {
        return dir_ / ("dat/avvdat-" + std::to_string(version) + "-files");
    }
    void Install(uint32_t version) {
        std::string error;
        ASSERT_TRUE(VexorPublisher::WriteDatSet(ReadFile(VEXOR_SAMPLE_SIGNATURES), version, kDate,
                                                Set(version), &error))
            << error;
    }
    std::map<std::string, std::string> Published(uint32_t version) {
        std::string error;
        const std::string folder = dir_ / ("published-" + std::to_string(version));
        EXPECT_TRUE(VexorPublisher::WriteDatSet(ReadFile(VEXOR_SAMPLE_SIGNATURES), version, kDate,
                                                folder, &error));
        return FilesOf(folder);
    }
    std::string Pass() {
        try {
            return core_.GetDatUpdater().RunDatUpdate() ? "installed" : "up to date";
        } catch (const ExceptionBase& e) {
            return e.Message();
        }
    }
    std::string Configured() {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
        std::string path;
        key.ReadString("DATPath", "", &path);
        return path;
    }

    Testing::ScratchDir dir_;
    Testing::ScopedEnv root_env_;
    Testing::RecordingLog log_;
    UpdaterCore core_{log_};
};

// A site signed by the trusted publisher: its full and incremental roads
// install as an unsigned site's do.
class SignedSiteTest : public PublishedSiteTest {
protected:
    SignedSiteTest() {
        std::string error;
        EXPECT_TRUE(VexorPublisher::WriteKeyPair(dir_ / "publisher", &error)) << error;
        EXPECT_TRUE(VexorPublisher::WriteKeyPair(dir_ / "stranger", &error)) << error;
    }
    ~SignedSiteTest() override { SetRequiredSigners(nullptr); }
    void Trust(const std::string& who) {
        WriteFile(dir_ / ("etc/vexor/trusted-keys/" + who + ".pub"), ReadFile(dir_ / (who + "/vexor-publisher.pub")));
    }
    void Sign(const std::string& who) {
        std::string error;
        ASSERT_TRUE(VexorPublisher::SignTree(dir_ / "site", dir_ / (who + "/vexor-publisher.key"), &error)) << error;
    }
    // Set version installed and configured, as a service that installed it.
    void Configure(uint32_t version) {
        Install(version);
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
        key.WriteString("DATPath", Set(version));
        key.WriteDword("DATVersion", version);
        core_.Load();
    }
    // A pass as the service runs it: the trusted keys first.
    std::string SignedPass() {
        std::string failure;
        if (!core_.UseTrustedKeys(&failure)) return failure;
        return Pass();
    }
};

TEST_F(SignedSiteTest, ASiteSignedByATrustedKeyInstallsByEveryRoad) {
    Trust("publisher");
    Publish(100, 101);
    Sign("publisher");
    EXPECT_EQ("installed", SignedPass());
    EXPECT_EQ(Set(101), Configured());
    Publish(101, 103);
    Sign("publisher");
    const size_t before = log_.Lines().size();
    EXPECT_EQ("installed", SignedPass());
    EXPECT_EQ(Set(103), Configured());
    EXPECT_EQ(Published(103), FilesOf(Set(103)));
    const auto lines = log_.Lines();
    for (size_t i = before; i < lines.size(); ++i) {
        EXPECT_EQ(std::string::npos, lines[i].find("Performing full update")) << "the signed patches were not used";
    }
}

// With a trusted key, nothing unsigned, foreign or tampered is used: the
// pass fails naming the file and why, the configured set stays, and no
// downloaded file is left.
TEST_F(SignedSiteTest, UnsignedForeignAndTamperedSitesAreRefused) {
    Configure(100);
    Trust("publisher");
    const struct Row {
        const char* what;
        std::function<void()> arrange;
        std::string error;
    } rows[] = {
        {"unsigned", [] {}, "The signature of 'oem.ini' is missing"},
        {"signed by a key nobody trusts", [&] { Sign("stranger"); }, "The signature of 'oem.ini' was made by an untrusted key"},
        {"a catalogue changed after signing",
         [&] {
             Sign("publisher");
             WriteFile(dir_ / "site/oem.ini", ReadFile(dir_ / "site/oem.ini") + "; changed\r\n");
         },
         "The signature of 'oem.ini' does not match"},
        {"another file's signature in its place",
         [&] {
             Sign("publisher");
             WriteFile(dir_ / "site/oem.ini.minisig", ReadFile(dir_ / "site/avvdat.ini.minisig"));
         },
         "The signature of 'oem.ini' does not match"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(dir_ / "site");
        Publish(100, 101);
        row.arrange();
        const std::string result = SignedPass();
        EXPECT_EQ(0u, result.rfind(row.error, 0)) << result;
        EXPECT_EQ(Set(100), Configured());
        EXPECT_EQ((std::vector<std::string>{"avvdat-100-files"}), Testing::SortedNames(dir_ / "dat"));
    }
}

// Signed times make a frozen or replayed copy of the site visible: an
// expired catalogue, one signed beyond the clock's skew, and one signed
// before a copy already accepted are each refused with their reason, and
// the configured set stays. A site signed without times keeps working
// until one with times was accepted.
TEST_F(SignedSiteTest, ExpiredFutureAndReplayedCataloguesAreRefusedAndTheSetKept) {
    Configure(100);
    Trust("publisher");
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    const auto sign_at = [&](int64_t signed_at, int64_t expires_seconds) {
        fs::remove_all(dir_ / "site");
        Publish(100, 101);
        VexorPublisher::SignOptions options;
        options.now = signed_at;
        options.expires_seconds = expires_seconds;
        std::string error;
        ASSERT_TRUE(VexorPublisher::SignTree(dir_ / "site", dir_ / "publisher/vexor-publisher.key", &error, options))
            << error;
    };
    const struct Row {
        const char* what;
        int64_t signed_at;  // 0: signed without times
        int64_t expires_seconds;
        std::string result;  // its start
        uint32_t configured;
    } rows[] = {
        {"expired two days ago", now - 10 * 86400, 8 * 86400, "The signed catalogue 'oem.ini' expired on ", 100},
        {"signed an hour ahead of this clock", now + 3600, 8 * 86400,
         "The signed catalogue 'oem.ini' was signed on ", 100},
        {"signed a minute ahead: within the skew", now + 60, 8 * 86400, "installed", 101},
        {"a copy signed a day earlier", now - 86400, 8 * 86400,
         "The signed catalogue 'oem.ini' was signed before one already accepted (", 101},
        {"a copy without times after one with them", 0, 0,
         "The signed catalogue 'oem.ini' carries no signing time, but one signed on ", 101},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        sign_at(row.signed_at, row.expires_seconds);
        const std::string result = SignedPass();
        EXPECT_EQ(0u, result.rfind(row.result, 0)) << result;
        EXPECT_EQ(Set(row.configured), Configured());
    }
    EXPECT_EQ(now + 60, NewestSignedCatalogue(CatalogueKind::kDat));
    EXPECT_EQ(0, NewestSignedCatalogue(CatalogueKind::kEngine));
}

TEST_F(SignedSiteTest, KeyFilesThatDoNotParseAreReportedAndNoneUsableFailsThePass) {
    Publish(100, 101);
    Sign("publisher");
    WriteFile(dir_ / "etc/vexor/trusted-keys/broken.pub", "not a key\n");
    EXPECT_EQ("None of the trusted key files in " + dir_ / "etc/vexor/trusted-keys" +
                  " can be used, so no update can be checked",
              SignedPass());
    Trust("publisher");
    EXPECT_EQ("installed", SignedPass());
    bool reported = false;
    for (const MessageEntry& entry : core_.GetMessageHistory()) {
        reported |= entry.text.rfind("Trusted key file ignored - broken.pub: ", 0) == 0;
    }
    EXPECT_TRUE(reported);
}

TEST_F(PublishedSiteTest, FullUpdateThenIncrementalChain) {
    Publish(100, 101);
    EXPECT_EQ("installed", Pass());
    EXPECT_EQ(Set(101), Configured());
    EXPECT_EQ(Published(101), FilesOf(Set(101)));
    EXPECT_TRUE(log_.Contains("Update error: Unable to perform incremental update."));
    // Only root may give the engine check a network namespace of its own;
    // an unprivileged run says what it went without.
    EXPECT_EQ(::geteuid() != 0, log_.Contains("The engine check ran without: own network namespace"));

    Publish(101, 104);
    const size_t before = log_.Lines().size();
    EXPECT_EQ("installed", Pass());
    EXPECT_EQ(Set(104), Configured());
    EXPECT_EQ(Published(104), FilesOf(Set(104)));
    const auto lines = log_.Lines();
    for (size_t i = before; i < lines.size(); ++i) {
        EXPECT_EQ(std::string::npos, lines[i].find("Performing full update")) << "patches were not used";
    }
    bool reached = false;
    for (const MessageEntry& entry : core_.GetMessageHistory()) {
        reached |= entry.text == "Successfully updated to 104";
    }
    EXPECT_TRUE(reached);
    EXPECT_TRUE(fs::exists(dir_ / "dat/avvdat-104.zip"));  // packed from the patched set
    EXPECT_EQ("up to date", Pass());
}

TEST_F(PublishedSiteTest, BrokenIncrementalRoadsFallBackToTheFullArchive) {
    struct Case {
        const char* name;
        SiteFaults faults;
    };
    SiteFaults catalogue, dropped, corrupt;
    catalogue.bad_md5 = VexorPublisher::BadMd5::kCatalogue;
    dropped.drop_patch = 202;
    corrupt.corrupt = VexorPublisher::Corrupt::kPatch;
    for (const Case& c : {Case{"catalogue md5", catalogue}, Case{"missing patch", dropped},
                          Case{"corrupt patch", corrupt}}) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_ / "dat");
        fs::remove_all(dir_ / "site");
        fs::create_directories(dir_ / "dat");
        Install(201);
        Publish(201, 203, c.faults);
        EXPECT_EQ("installed", Pass());
        EXPECT_EQ(Set(203), Configured());
        EXPECT_EQ(Published(203), FilesOf(Set(203)));
        EXPECT_TRUE(log_.Contains("Performing full update"));
    }
}

TEST_F(PublishedSiteTest, BrokenFullUpdatesFailAndKeepTheOldSet) {
    Install(300);
    core_.SetDATPath(Set(300));
    core_.SetDATVersion(300);
    core_.Save(SaveScope::CheckResults);
    struct Case {
        const char* name;
        SiteFaults faults;
        std::string starts;
    };
    SiteFaults bad_md5, corrupt, no_avvdat;
    bad_md5.bad_md5 = VexorPublisher::BadMd5::kArchive;
    corrupt.corrupt = VexorPublisher::Corrupt::kArchive;
    no_avvdat.no_avvdat_ini = true;
    const Case cases[] = {
        {"bad archive md5", bad_md5, "Dat zip file \""},
        {"corrupt archive", corrupt, "Unzip failed for file "},
        {"no avvdat.ini", no_avvdat, "Cannot open '"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_ / "site");
        Publish(302, 302, c.faults);  // no patches from 300: the full road
        const std::string error = Pass();
        EXPECT_EQ(0u, error.find(c.starts)) << error;
        EXPECT_EQ(Set(300), Configured());
        EXPECT_FALSE(fs::exists(dir_ / "dat/~avvdat-302-files"));
        EXPECT_FALSE(fs::exists(dir_ / "dat/avvdat-302.zip"));
        EXPECT_FALSE(fs::exists(dir_ / "dat/~avvdat-302.zip"));
    }
}

TEST_F(PublishedSiteTest, WithoutOemIniTheListingFindsTheArchive) {
    SiteFaults no_oem;
    no_oem.no_oem_ini = true;
    Publish(400, 402, no_oem);
    EXPECT_EQ("installed", Pass());
    EXPECT_EQ(Set(402), Configured());
    EXPECT_FALSE(log_.Contains("Attempting partial update"));
}

}  // namespace
}  // namespace TesselSoftware
