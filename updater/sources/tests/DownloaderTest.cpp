#include <gtest/gtest.h>

#include <algorithm>

#include "Common/Errors/ExceptionBase.h"
#include "TestSupport.h"
#include "UpdaterTestSupport.h"
#include "core/UpdaterCore.h"
#include "sources/DownloaderFS.h"

namespace TesselSoftware {
namespace {

using Testing::ReadFile;
using Testing::WriteFile;

TEST(DownloaderFactory, UnknownTypeThrowsAndLaterRegistrationWins) {
    SourceSettings settings("");
    try {
        CreateDownloader(5, &settings);
        FAIL() << "no exception";
    } catch (const ExceptionBase& e) {
        EXPECT_EQ(0, e.Code());
        EXPECT_EQ("Asked to create downloader of unknown type: 5", e.Message());
    }
    int first = 0, second = 0;
    RegisterDownloader(77, [&](SourceSettings* s) {
        ++first;
        return std::make_shared<CDownloaderFS>(s);
    });
    RegisterDownloader(77, [&](SourceSettings* s) {
        ++second;
        return std::make_shared<CDownloaderFS>(s);
    });
    CreateDownloader(77, &settings);
    EXPECT_EQ(0, first);
    EXPECT_EQ(1, second);

    RegisterFolderDownloader();
    settings.SetLocalDirectory("/srv/updates");
    auto downloader = CreateDownloader(LocalFolder, &settings);
    EXPECT_EQ(LocalFolder, downloader->Type());
    EXPECT_EQ("/srv/updates", downloader->BaseLocation());
    EXPECT_EQ(&settings, downloader->Settings());
}

class DownloaderFSTest : public ::testing::Test {
protected:
    DownloaderFSTest() : root_env_("VEXOR_SYSTEM_ROOT", dir_.path()) {
        downloader_.SetBaseLocation(dir_ / "site");
        WriteFile(dir_ / "site/oem.ini", "[AVV-ZIP]\r\nDATVersion=10001\r\n");
        WriteFile(dir_ / "site/avvdat-4567.zip", "zip");
        WriteFile(dir_ / "site/old-avvdat-4567.zip", "zip");
        WriteFile(dir_ / "site/AVVDAT-4567.zip", "zip");
        WriteFile(dir_ / "site/sub/patch.upd", "patch");
    }

    std::vector<std::string> List(const std::string& pattern, bool* ok = nullptr) {
        std::vector<std::string> names;
        const bool listed = downloader_.ListFiles(pattern, &names);
        if (ok) *ok = listed;
        std::sort(names.begin(), names.end());
        return names;
    }

    Testing::ScratchDir dir_;
    Testing::ScopedEnv root_env_;
    Testing::RecordingLog log_;
    UpdaterCore core_{log_};
    SourceSettings settings_{""};
    CDownloaderFS downloader_{&settings_};
};

TEST_F(DownloaderFSTest, CopiesOverAnExistingFileAndReportsTheSource) {
    WriteFile(dir_ / "local/oem.ini", "old content");
    ASSERT_TRUE(downloader_.Download("oem.ini", dir_ / "local/oem.ini")) << downloader_.LastError();
    EXPECT_EQ("[AVV-ZIP]\r\nDATVersion=10001\r\n", ReadFile(dir_ / "local/oem.ini"));
    EXPECT_EQ("Downloading '" + dir_ / "site/oem.ini'", core_.GetMessageHistory().back().text);
    EXPECT_EQ(0, downloader_.LastCode());

    ASSERT_TRUE(downloader_.Download("sub/patch.upd", dir_ / "local/p"));
    EXPECT_EQ("patch", ReadFile(dir_ / "local/p"));
}

// Catalogues have their own small cap, checked while they arrive; any other
// file of the same size is still taken.
TEST_F(DownloaderFSTest, ACatalogueOverItsCapIsRefusedAndLeavesNoFile) {
    WriteFile(dir_ / "site/huge.ini", "[AVV-ZIP]\r\n" + std::string(kMaxCatalogueBytes, ';'));
    EXPECT_FALSE(downloader_.DownloadCatalogue("huge.ini", dir_ / "local.ini"));
    EXPECT_NE(std::string::npos, downloader_.LastError().find("larger than the limit of 16777216 bytes"))
        << downloader_.LastError();
    EXPECT_FALSE(Testing::Exists(dir_ / "local.ini"));
    EXPECT_TRUE(downloader_.Download("huge.ini", dir_ / "local.ini")) << downloader_.LastError();
    EXPECT_TRUE(downloader_.DownloadCatalogue("oem.ini", dir_ / "local.ini"));
}

TEST_F(DownloaderFSTest, TrailingSeparatorInTheBaseStillWorks) {
    downloader_.SetBaseLocation(dir_ / "site/");
    ASSERT_TRUE(downloader_.Download("oem.ini", dir_ / "copy"));
    EXPECT_EQ("Downloading '" + dir_ / "site//oem.ini'", core_.GetMessageHistory().back().text);
}

TEST_F(DownloaderFSTest, MissingSourceFailsWithTheTextAndLeavesTheTarget) {
    WriteFile(dir_ / "keep", "kept");
    EXPECT_FALSE(downloader_.Download("missing.zip", dir_ / "keep"));
    EXPECT_EQ("Failed to copy 'missing.zip' into '" + dir_ / "keep'", downloader_.LastError());
    EXPECT_EQ("kept", ReadFile(dir_ / "keep"));
    EXPECT_FALSE(downloader_.Download("oem.ini", dir_ / "no/such/folder/x"));
    ASSERT_TRUE(downloader_.Download("oem.ini", dir_ / "x"));
    EXPECT_EQ("", downloader_.LastError());  // cleared by the next call
}

TEST_F(DownloaderFSTest, ListingMatchesWholeNamesCaseSensitively) {
    EXPECT_EQ(std::vector<std::string>{"avvdat-4567.zip"}, List("avvdat-.*"));
    EXPECT_EQ((std::vector<std::string>{"AVVDAT-4567.zip", "avvdat-4567.zip", "oem.ini",
                                        "old-avvdat-4567.zip", "sub"}),
              List(""));
    bool ok = true;
    EXPECT_TRUE(List("(", &ok).empty());
    EXPECT_FALSE(ok);
    downloader_.SetBaseLocation(dir_ / "nowhere");
    EXPECT_TRUE(List("", &ok).empty());
    EXPECT_FALSE(ok);
}

TEST_F(DownloaderFSTest, ListingAppendsToTheGivenList) {
    std::vector<std::string> names{"kept"};
    ASSERT_TRUE(downloader_.ListFiles("oem\\.ini", &names));
    EXPECT_EQ((std::vector<std::string>{"kept", "oem.ini"}), names);
}

}  // namespace
}  // namespace TesselSoftware
