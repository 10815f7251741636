// The DAT road against what a hostile or careless update site, a broken
// disk or a crash makes of it: a set is switched in only when it is whole
// and the engine starts on it, it is recorded as the version it really is,
// the store never names a deleted set, and nothing a source offers can fill
// the disk.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "dat/DeltaCatalogue.h"
#include "dat/DurableFiles.h"
#include "DatScenario.h"
#include "sources/Downloader.h"

namespace TesselSoftware {
namespace {

using Testing::Exists;
using Testing::WriteFile;

class DatRoadTest : public ::testing::Test, public DatScenario {
protected:
    ~DatRoadTest() override {
        DurableFileCallsForTesting() = saved_calls_;
        SetMaxUpdateFileBytesForTesting(kMaxUpdateFileBytes);
    }

    // Installs and records version's set through a real pass.
    void Configure(uint32_t version) {
        site_.PublishFull(version);
        site_.WriteOem(version);
        ASSERT_EQ("installed", Pass());
    }

    std::string StoredDatPath() {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
        return key.ReadRequiredString("DATPath");
    }

    const DurableFileCalls saved_calls_ = DurableFileCallsForTesting();
};

// Archives with a correct MD5 that hold no usable set never replace the
// configured one; the same version, corrected, then installs.
TEST_F(DatRoadTest, BrokenSetsAreNeverSwitchedIn) {
    const auto files_of = [](std::map<std::string, std::string> files) { return files; };
    const std::map<std::string, std::string> good = Testing::DatFilesOf(11);
    const struct {
        const char* name;
        std::map<std::string, std::string> archive;
        const char* reason;
    } cases[] = {
        {"only avvscan.dat", files_of({{"avvscan.dat", good.at("avvscan.dat")}}),
         "avvnames.dat is missing"},
        {"nothing", {}, "avvscan.dat is missing"},
        {"random bytes", files_of({{"avvscan.dat", "corrupt\x01\x02"}, {"avvnames.dat", "x"},
                                   {"avvclean.dat", "y"}}),
         "the engine refused the set: AVInitialise returned 4"},
        {"files in a subfolder",
         files_of({{"sub/avvscan.dat", "a"}, {"sub/avvnames.dat", "b"}, {"sub/avvclean.dat", "c"}}),
         "avvscan.dat is missing"},
        {"an empty file", files_of({{"avvscan.dat", "a"}, {"avvnames.dat", ""}, {"avvclean.dat", "c"}}),
         "avvnames.dat is empty"},
        {"engine crash", files_of({{"avvscan.dat", "crash"}, {"avvnames.dat", "b"}, {"avvclean.dat", "c"}}),
         "the engine crashed (signal"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DatScenario t;
        t.site_.PublishFull(10);
        t.site_.WriteOem(10);
        ASSERT_EQ("installed", t.Pass());
        t.site_.PublishArchive(11, c.archive);
        t.site_.WriteOem(11);
        const std::string error = t.Pass();
        EXPECT_TRUE(error.starts_with("The new DAT set 11 was not installed: ")) << error;
        EXPECT_NE(std::string::npos, error.find(c.reason)) << error;
        t.ExpectConfigured(10);
        EXPECT_EQ((std::vector<std::string>{"avvdat-10-files", "avvdat-10.zip", "oem.ini"}),
                  t.DatFolderNames());

        t.site_.PublishFull(11);
        EXPECT_EQ("installed", t.Pass());
        t.ExpectConfigured(11);
    }
}

// A cancel (or a stop of the service) during the engine check of a new set
// ends the check at once, even when the engine never returns.
TEST_F(DatRoadTest, ACancelEndsAnEngineCheckThatNeverReturns) {
    site_.PublishFull(10);
    site_.WriteOem(10);
    ASSERT_EQ("installed", Pass());
    site_.PublishArchive(11, {{"avvscan.dat", "hang"}, {"avvnames.dat", "b"}, {"avvclean.dat", "c"}});
    site_.WriteOem(11);
    std::string error;
    std::thread pass([&] { error = Pass(); });
    ASSERT_TRUE(Testing::WaitUntil([&] { return log_.Contains("Starting the engine on the new DAT files."); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto cancelled = std::chrono::steady_clock::now();
    core_.CancelUpdate();
    pass.join();
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(5));
    EXPECT_NE(std::string::npos, error.find("the engine check was cancelled")) << error;
    ExpectConfigured(10);
}

TEST_F(DatRoadTest, WithoutAnEngineNoSetIsInstalled) {
    UseEngine(0);
    site_.PublishFull(10);
    site_.WriteOem(10);
    EXPECT_NE(std::string::npos, Pass().find("the engine library could not be loaded"));
    EXPECT_TRUE(DatFolderNames().empty());
}

// A site caught mid-refresh, or a catalogue that lies about where its
// patches lead: the patched files are never recorded as the offered version.
TEST_F(DatRoadTest, PatchesThatDoNotReachTheOfferedVersionFallBackToTheFullArchive) {
    const struct {
        const char* name;
        uint32_t catalogue_version;
        std::vector<uint32_t> patches_from;
        const char* logged;
    } cases[] = {
        {"catalogue of the previous refresh", 101, {100},
         "The delta catalogue leads to version 101, not to the offered version 102."},
        {"catalogue claims more than its patches reach", 102, {100},
         "The patches reached version 101, not the offered version 102."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DatScenario t;
        Testing::InstallSet(t.dir_ / "dat", 100);
        t.site_.PublishDeltas(c.catalogue_version, c.patches_from);
        t.site_.PublishFull(102);
        t.site_.WriteOem(102, "delta.ini", Testing::Md5OfFile(t.site_.folder() + "/delta.ini"));
        EXPECT_EQ("installed", t.Pass());
        EXPECT_TRUE(t.log_.Contains(c.logged));
        t.ExpectConfigured(102);  // the full archive's files
    }
}

// A test hook stops the pass at each marked point as a crash would (no
// clean-up runs): the store always names a complete set, and the next pass
// finishes the job.
TEST_F(DatRoadTest, AStopAfterAnyStepLeavesTheStoreNamingACompleteSet) {
    for (const char* step : {"switched", "published", "recorded", "tidied"}) {
        SCOPED_TRACE(step);
        DatScenario t;
        for (uint32_t version : {20, 21, 22}) {
            t.site_.PublishFull(version);
            t.site_.WriteOem(version);
            ASSERT_EQ("installed", t.Pass());
        }
        t.site_.PublishFull(23);
        t.site_.WriteOem(23);
        t.core_.GetDatUpdater().SetStepHookForTesting([&](std::string_view at) {
            if (at == step) throw std::runtime_error("stopped");
        });
        EXPECT_THROW(t.core_.GetDatUpdater().RunDatUpdate(), std::runtime_error);
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
        const uint32_t configured = key.ReadRequiredDword("DATVersion");
        EXPECT_TRUE(configured == 22 || configured == 23) << configured;
        t.ExpectConfigured(configured);

        t.core_.GetDatUpdater().SetStepHookForTesting(nullptr);
        EXPECT_EQ("up to date", t.Pass());
        t.ExpectConfigured(23);
    }
}

TEST_F(DatRoadTest, TidyingNeverDeletesTheConfiguredSet) {
    for (uint32_t version : {30, 31, 32, 33, 34}) Testing::InstallSet(dir_ / "dat", version);
    {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
        key.WriteString("DATPath", Set(30));
        key.WriteDword("DATVersion", 30);
    }
    core_.Load();
    core_.GetDatUpdater().DeleteOldDatFolders();
    EXPECT_EQ((std::vector<std::string>{"avvdat-30-files", "avvdat-32-files", "avvdat-33-files",
                                        "avvdat-34-files"}),
              DatFolderNames());
}

// A failure after the set was moved into place keeps its archive.
TEST_F(DatRoadTest, AFailureAfterTheSwitchKeepsTheNewSetsArchive) {
    core_.GetDatUpdater().SetStepHookForTesting([](std::string_view at) {
        if (at == "switched") throw ExceptionBase(0, "failed after the switch");
    });
    site_.PublishFull(40);
    site_.WriteOem(40);
    EXPECT_EQ("failed after the switch", Pass());
    EXPECT_TRUE(Exists(Set(40)));
    EXPECT_TRUE(Exists(dir_ / "dat/avvdat-40.zip"));
}

TEST_F(DatRoadTest, AFailedFlushFailsThePassBeforeTheSwitch) {
    Configure(50);
    DurableFileCallsForTesting().fsync = [](int) {
        errno = EIO;
        return -1;
    };
    site_.PublishFull(51);
    site_.WriteOem(51);
    const std::string error = Pass();
    EXPECT_TRUE(error.starts_with("Unable to flush the new DAT files to disk, ")) << error;
    DurableFileCallsForTesting() = saved_calls_;
    ExpectConfigured(50);
    EXPECT_FALSE(Exists(Set(51)));
    EXPECT_FALSE(Exists(dir_ / "dat/~avvdat-51-files"));
}

// NFS and CIFS refuse RENAME_NOREPLACE with EINVAL: the switch still works
// there, and still never replaces an existing folder.
TEST_F(DatRoadTest, WithoutNoReplaceRenamesTheSwitchChecksFirst) {
    DurableFileCallsForTesting().renameat2 = [](int, const char*, int, const char*, unsigned) {
        errno = EINVAL;
        return -1;
    };
    Configure(60);
    ExpectConfigured(60);

    std::filesystem::create_directories(dir_ / "from");
    std::filesystem::create_directories(dir_ / "empty-target");
    EXPECT_EQ(183u, RenameNoReplace(dir_ / "from", dir_ / "empty-target"));
    EXPECT_TRUE(Exists(dir_ / "from"));
    EXPECT_EQ(0u, RenameNoReplace(dir_ / "from", dir_ / "free-name"));
    EXPECT_TRUE(Exists(dir_ / "free-name"));
}

TEST_F(DatRoadTest, RecoveringAnUnrecordedSetNeverGoesBackwards) {
    Testing::InstallSet(dir_ / "dat", 70);
    {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
        key.WriteString("DATPath", Set(75));  // newer than any folder here
        key.WriteDword("DATVersion", 75);
    }
    core_.Load();
    site_.WriteOem(70);
    EXPECT_EQ("up to date", Pass());
    EXPECT_EQ(Set(75), StoredDatPath());
}

// Nothing a source offers may fill the disk: a file over the cap is not
// copied, and an archive that unpacks past it is not unpacked.
TEST_F(DatRoadTest, FilesAndArchivesOverTheCapAreRefused) {
    const struct {
        const char* name;
        uint64_t cap;
        const char* error_part;
    } cases[] = {
        {"archive larger than the cap", 100, "Failed to download the DAT archive avvdat-80.zip - "},
        {"archive unpacking past the cap", 100000, "bytes, more than the limit of 100000 bytes."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DatScenario t;
        std::map<std::string, std::string> files = Testing::DatFilesOf(80);
        files["avvscan.dat"] += std::string(1000000, 'z');  // compresses to a few KB
        t.site_.PublishArchive(80, files);
        t.site_.WriteOem(80);
        SetMaxUpdateFileBytesForTesting(c.cap);
        const std::string error = t.Pass();
        SetMaxUpdateFileBytesForTesting(kMaxUpdateFileBytes);
        EXPECT_NE(std::string::npos, error.find(c.error_part)) << error;
        EXPECT_TRUE(t.DatFolderNames().empty());
        EXPECT_TRUE(t.log_.Contains(c.cap == 100 ? "larger than the limit of 100 bytes"
                                                  : "Listing the archive"));
    }
}

TEST(DeltaCatalogue, AHugeCatalogueResolvesEveryPatchOfTheChain) {
    // 200 000 entries: each identifier is looked up once, not searched for.
    Testing::ScratchDir dir;
    constexpr int kEntries = 200000;
    std::string text = "[Contents]\r\nCurrentVersion=" + std::to_string(kEntries + 1) +
                       "\r\n[Multiple Patch Table]\r\n";
    for (int v = 1; v <= kEntries; ++v) text += std::to_string(v) + "=P" + std::to_string(v) + "\r\n";
    text += "[Incremental Resolver]\r\n";
    for (int v = kEntries; v >= 1; --v) text += "p" + std::to_string(v) + "=f" + std::to_string(v) + "\r\n";
    WriteFile(dir / "delta.ini", text);
    const DeltaCatalogue catalogue(2, dir / "delta.ini");
    ASSERT_TRUE(catalogue.CanUpdate());
    const std::vector<std::string> names = catalogue.GetPatchFiles();
    ASSERT_EQ(static_cast<size_t>(kEntries - 1), names.size());
    EXPECT_EQ("f2", names.front());
    EXPECT_EQ("f" + std::to_string(kEntries), names.back());
}

}  // namespace
}  // namespace TesselSoftware
