// One DAT update pass against a local-folder source, end to end: real 7za,
// real registry store, a stand-in engine for the patch step.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Common/Errors/ExceptionBase.h"
#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "DatScenario.h"
#include "DatSiteBuilder.h"
#include "TestSupport.h"
#include "UpdaterTestSupport.h"
#include "core/UpdaterCore.h"
#include "sources/DownloaderFS.h"

namespace TesselSoftware {
namespace {

using Testing::DatSite;
using Testing::Exists;
using Testing::ReadFile;
using Testing::WriteFile;

class DatUpdaterTest : public ::testing::Test, public DatScenario {};

TEST_F(DatUpdaterTest, UpToDateRunsTheThreeResultsTogetherAndMovesNothing) {
    Testing::InstallSet(dir_ / "dat", 6543);
    site_.WriteOem(6543);
    EXPECT_EQ("up to date", Pass());
    EXPECT_EQ("Current DAT version was 6543\r\nFound DAT version 6543 available for retrieval."
              "Definition files were up to date.",
              core_.LastCheckResult());
    // The unrecorded set was recorded, with its local "oem.ini".
    EXPECT_EQ((std::vector<std::string>{"avvdat-6543-files", "oem.ini"}), DatFolderNames());
    EXPECT_EQ("Check finished.", core_.GetMessageHistory().back().text);
}

// Build folders and archives a killed pass left, of any version, go at the
// start of the next pass; the configured set and its archive stay.
TEST_F(DatUpdaterTest, LeftoversOfInterruptedPassesAreRemoved) {
    Testing::InstallSet(dir_ / "dat", 6543);
    WriteFile(dir_ / "dat/~avvdat-6541-files/avvscan.dat", "half");
    WriteFile(dir_ / "dat/~avvdat-6540.zip", "partial");
    WriteFile(dir_ / "dat/~avvdat-7000-files/x/y", "deep");
    site_.WriteOem(6543);
    EXPECT_EQ("up to date", Pass());
    EXPECT_EQ((std::vector<std::string>{"avvdat-6543-files", "oem.ini"}), DatFolderNames());
}

TEST_F(DatUpdaterTest, FullUpdateFromAnEmptyFolder) {
    site_.PublishFull(10001);
    site_.WriteOem(10001);
    EXPECT_EQ("installed", Pass());
    ExpectConfigured(10001);
    EXPECT_EQ((std::vector<std::string>{"avvdat-10001-files", "avvdat-10001.zip", "oem.ini"}),
              DatFolderNames());
    EXPECT_EQ("[AVV-ZIP]\r\nDATVersion=10001\r\n", ReadFile(dir_ / "dat/oem.ini"));
    EXPECT_TRUE(log_.Contains("Performing full update"));
    EXPECT_EQ("Current DAT version was 0\r\nFound DAT version 10001 available for retrieval."
              "New definition files retrieved.\r\n",
              core_.LastCheckResult());
    EXPECT_NE(0, core_.LastUpdateTime());
    EXPECT_EQ("up to date", Pass());
}

TEST_F(DatUpdaterTest, IncrementalChainThroughTheEngine) {
    Testing::InstallSet(dir_ / "dat", 6544);
    site_.PublishDeltas(6546, {6543, 6544, 6545});
    EXPECT_EQ("installed", Pass());
    ExpectConfigured(6546, false);
    // The stand-in engine appends the chain's patches to the current files.
    EXPECT_FALSE(log_.Contains("Performing full update"));
    for (const auto& [name, content] : Testing::DatFilesOf(6544)) {
        EXPECT_EQ(content + "+6544+6545", ReadFile(Set(6546) + "/" + name));
    }
    EXPECT_TRUE(Exists(dir_ / "dat/avvdat-6546.zip"));  // packed after the patch step
    bool saw_start = false, saw_success = false;
    for (const MessageEntry& entry : core_.GetMessageHistory()) {
        saw_start |= entry.text == "Updating DAT from 1";
        saw_success |= entry.text == "Successfully updated to 6546";
    }
    EXPECT_TRUE(saw_start && saw_success);
    EXPECT_FALSE(Exists(dir_ / "dat/UpdateFrom-6544"));
}

// Each broken incremental road falls back to the full archive.
TEST_F(DatUpdaterTest, IncrementalFailuresFallBackToTheFullUpdate) {
    struct Case {
        const char* name;
        std::function<void(DatScenario&)> arrange;
        const char* logged;
    } cases[] = {
        {"missing patch", [](DatScenario& t) { t.site_.Remove("patch-6545.upd"); },
         "Update error: Unable to perform incremental update."},
        {"catalogue MD5",
         [](DatScenario& t) { t.site_.WriteOem(6546, "delta.ini", std::string(32, '0')); },
         "failed MD5 sum check."},
        {"no entry point", [](DatScenario& t) { t.UseEngine(3); },
         "Update error: Unable to perform incremental update."},
        {"AVUpdate fails", [](DatScenario& t) { t.UseEngine(2); },
         "Update error: Unable to perform incremental update."},
        {"no chain", [](DatScenario& t) { t.site_.PublishDeltas(6546, {6545}); },
         "Update error: Unable to perform incremental update."},
        {"traversal name",
         [](DatScenario& t) {
             WriteFile(t.dir_ / "evil.ini", "[Contents]\r\nCurrentVersion=6546\r\n");
             t.site_.WriteOem(6546, "../evil.ini", Testing::Md5OfFile(t.dir_ / "evil.ini"));
         },
         "Update error: Delta file name \"../evil.ini\" is not a plain file name."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DatScenario t;  // a fresh root per case keeps the cases independent
        Testing::InstallSet(t.dir_ / "dat", 6544);
        t.site_.PublishDeltas(6546, {6544, 6545});
        t.site_.PublishFull(6546);
        c.arrange(t);
        EXPECT_EQ("installed", t.Pass());
        EXPECT_TRUE(t.log_.Contains(c.logged));
        EXPECT_TRUE(t.log_.Contains("Performing full update"));
        t.ExpectConfigured(6546);
    }
}

TEST_F(DatUpdaterTest, WithoutOemIniTheListingDecidesAndNoPatchIsTried) {
    WriteFile(dir_ / "site/avvdat-6542.zip", "x");
    WriteFile(dir_ / "site/avvdat-6544-files/f", "x");
    WriteFile(dir_ / "site/~avvdat-9999.zip", "x");
    EXPECT_NE("installed", Pass());  // avvdat-6544.zip itself is not there
    EXPECT_TRUE(log_.Contains("Latest available:6544, latest retrieved:0"));
    EXPECT_FALSE(log_.Contains("Attempting partial update"));
}

TEST_F(DatUpdaterTest, InvalidOemIniEndsThePass) {
    Testing::InstallSet(dir_ / "dat", 6543);
    WriteFile(dir_ / "site/oem.ini", "[AVV-ZIP]\r\nDATVersion=none\r\n");
    EXPECT_EQ("Invalid oem.ini, cannot determine server current version", Pass());
    WriteFile(dir_ / "site/oem.ini", "[AVV-ZIP]\r\nDATVersion=-7\r\n");
    EXPECT_EQ("Invalid oem.ini, cannot determine server current version", Pass());
    EXPECT_FALSE(Exists(dir_ / "dat/UpdateFrom-6543"));
}

TEST_F(DatUpdaterTest, BrokenFullUpdatesLeaveTheOldSetConfigured) {
    Testing::InstallSet(dir_ / "dat", 6543);
    core_.SetDATPath(Set(6543));
    core_.SetDATVersion(6543);
    core_.Save(SaveScope::CheckResults);
    const std::string archive = dir_ / "dat/avvdat-6544.zip";
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::string error;
    } cases[] = {
        {"MD5 mismatch", [&] { site_.PublishFull(6544, "00112233445566778899aabbccddeeff"); },
         "Dat zip file \"" + archive + "\" failed MD5 sum check."},
        {"no avvdat.ini", [&] { site_.PublishFull(6544); site_.Remove("avvdat.ini"); },
         "Cannot open '" + dir_ / "dat/avvdat.ini'"},
        // A failed download is reported as one, with the source's reason.
        {"no archive", [&] { site_.PublishFull(6544); site_.Remove("avvdat-6544.zip"); },
         "Failed to download the DAT archive avvdat-6544.zip - Failed to copy 'avvdat-6544.zip' into '" +
             dir_ / "dat/~avvdat-6544.zip'\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        site_.WriteOem(6544);
        EXPECT_EQ(c.error, Pass());
        ExpectConfigured(6543);
        EXPECT_EQ(std::vector<std::string>{"avvdat-6543-files"}, DatFolderNames());
        EXPECT_TRUE(core_.LastCheckResult().ends_with(c.error));
    }
}

TEST_F(DatUpdaterTest, CancelAfterTheDownloadRemovesWhatThePassStarted) {
    // A source that takes the cancel request while the archive comes in.
    RegisterDownloader(40, [this](SourceSettings* settings) {
        struct Cancelling : CDownloaderFS {
            Cancelling(SourceSettings* s, UpdaterCore* core) : CDownloaderFS(s, 40), core_(core) {}
            bool DownloadFile(const std::string& name, const std::string& local) override {
                if (name.ends_with(".zip")) core_->CancelUpdate();
                return CDownloaderFS::DownloadFile(name, local);
            }
            UpdaterCore* core_;
        };
        return std::make_shared<Cancelling>(settings, &core_);
    });
    core_.SetDATSource(40);
    site_.PublishFull(6544);
    site_.WriteOem(6544);
    EXPECT_EQ("Cancelled by user", Pass());
    EXPECT_TRUE(DatFolderNames().empty());
}

TEST_F(DatUpdaterTest, HangingArchiveToolIsKilledAndThePassFails) {
    ::unlink((dir_ / "opt/vexor/7za").c_str());
    WriteFile(dir_ / "opt/vexor/7za", "#!/bin/sh\nexec sleep 60\n");
    ::chmod((dir_ / "opt/vexor/7za").c_str(), 0755);
    core_.GetDatUpdater().SetUnzipTimeoutForTesting(300);
    site_.PublishFull(6544);
    site_.WriteOem(6544);
    const std::string error = Pass();
    // The first call of the tool lists the archive before it is unpacked.
    EXPECT_TRUE(error.starts_with("Timed out waiting for  <\"" + dir_ / "opt/vexor/7za\" l -slt"))
        << error;
    EXPECT_TRUE(error.ends_with(">, error = Wait Timeout"));
    EXPECT_TRUE(DatFolderNames().empty());
}

TEST_F(DatUpdaterTest, ArchiveWithASymbolicLinkIsRefused) {
    WriteFile(dir_ / "evil/avvscan.dat", "x");
    ASSERT_EQ(0, ::symlink("/etc/passwd", (dir_ / "evil/avvnames.dat").c_str()));
    ASSERT_EQ(0, std::system(("cd '" + dir_ / "evil" + "' && 7za a -tzip -snl -bd '" +
                              dir_ / "site/avvdat-6544.zip" + "' . >/dev/null")
                                 .c_str()));
    WriteFile(dir_ / "site/avvdat.ini", "[AVV-ZIP]\r\n");
    site_.WriteOem(6544);
    const std::string error = Pass();
    EXPECT_NE(std::string::npos, error.find("not a regular file or folder")) << error;
    EXPECT_TRUE(DatFolderNames().empty());
}

TEST_F(DatUpdaterTest, TidyingKeepsTheThreeNumericallyNewestSets) {
    for (uint32_t v : {9998u, 9999u, 10000u}) {
        Testing::InstallSet(dir_ / "dat", v);
        WriteFile(dir_ / ("dat/avvdat-" + std::to_string(v) + ".zip"), "zip");
    }
    site_.PublishFull(10001);
    site_.WriteOem(10001);
    EXPECT_EQ("installed", Pass());
    EXPECT_EQ((std::vector<std::string>{"avvdat-10000-files", "avvdat-10000.zip",
                                        "avvdat-10001-files", "avvdat-10001.zip",
                                        "avvdat-9999-files", "avvdat-9999.zip", "oem.ini"}),
              DatFolderNames());
    EXPECT_TRUE(log_.Contains("2 Deleting old DAT folder - avvdat-9998-files\r\n"));
}

TEST_F(DatUpdaterTest, FiveSetsBecomeThree) {
    for (uint32_t v = 6540; v <= 6543; ++v) Testing::InstallSet(dir_ / "dat", v);
    site_.PublishFull(6544);
    site_.WriteOem(6544);
    EXPECT_EQ("installed", Pass());
    EXPECT_EQ((std::vector<std::string>{"avvdat-6542-files", "avvdat-6543-files",
                                        "avvdat-6544-files", "avvdat-6544.zip", "oem.ini"}),
              DatFolderNames());
}

TEST_F(DatUpdaterTest, VersionTextLeavesTheCheckResultAlone) {
    Testing::InstallSet(dir_ / "dat", 77);
    core_.SetLastCheckResult("accumulating");
    EXPECT_EQ("77", core_.GetDATVersionText());
    EXPECT_EQ("accumulating", core_.LastCheckResult());
    EXPECT_EQ(77u, core_.GetDatUpdater().GetCurrentVersion());
    EXPECT_EQ("Current DAT version was 77\r\n", core_.LastCheckResult());
    std::system(("rm -rf '" + Set(77) + "'").c_str());
    EXPECT_EQ("Version Unknown", core_.GetDATVersionText());
}

TEST_F(DatUpdaterTest, LeftoverBuildFolderIsWipedAndDatRootRules) {
    WriteFile(dir_ / "dat/~avvdat-5-files/stale", "old");
    core_.GetDatUpdater().PrepareDatFolder(5);
    EXPECT_TRUE(Exists(dir_ / "dat/~avvdat-5-files"));
    EXPECT_FALSE(Exists(dir_ / "dat/~avvdat-5-files/stale"));
    core_.SetDATFolder("/");
    EXPECT_EQ("/", core_.GetDatUpdater().DatRoot());
    core_.SetDATFolder("/var/dat/");
    EXPECT_EQ("/var/dat//", core_.GetDatUpdater().DatRoot());
}

TEST_F(DatUpdaterTest, ALoneArchiveOfAnInterruptedPassDoesNotCountAsInstalled) {
    Testing::InstallSet(dir_ / "dat", 6543);
    WriteFile(dir_ / "dat/avvdat-6544.zip", "downloaded, never unpacked");
    site_.PublishFull(6544);
    site_.WriteOem(6544);
    EXPECT_EQ("installed", Pass());
    ExpectConfigured(6544);
}

TEST_F(DatUpdaterTest, ASetMovedInPlaceButNotRecordedIsRecordedByTheNextPass) {
    Testing::InstallSet(dir_ / "dat", 6543);
    Testing::InstallSet(dir_ / "dat", 6544);  // moved into place, then the pass died
    core_.SetDATPath(Set(6543));
    core_.SetDATVersion(6543);
    core_.Save(SaveScope::CheckResults);
    site_.WriteOem(6544);
    EXPECT_EQ("up to date", Pass());
    ExpectConfigured(6544);
    // An empty stray folder is never recorded.
    WriteFile(dir_ / "dat/avvdat-9999-files/avvscan.dat", "");
    EXPECT_EQ("up to date", Pass());
    ExpectConfigured(6544);
}

}  // namespace
}  // namespace TesselSoftware
