#include <gtest/gtest.h>

#include <unistd.h>

#include <ctime>

#include "TestSupport.h"
#include "logic/ServiceSandbox.h"
#include "logic/SettingsPageRules.h"
#include "logic/ShareFolder.h"
#include "logic/StatusPageText.h"

namespace TesselSoftware::VexorConfig {
namespace {

TEST(SettingsPageRules, TheListShowsTheShortestIntervalNotShorterThanTheService) {
    const std::pair<int64_t, const char*> rows[] = {
        {700, "Every 15 minutes"}, {600, "Every 10 minutes"}, {1800, "Every 30 minutes"},
        {3600, "Update hourly"},   {0, "Every 10 minutes"},   {5000, "Update hourly"},
    };
    for (const auto& [seconds, text] : rows) {
        EXPECT_STREQ(text, kFrequencies[FrequencyIndexFor(seconds)].text) << seconds;
    }
}

TEST(SettingsPageRules, ControlsFollowTheSourceTypeAndTheProxyBoxes) {
    struct Row {
        int32_t type;
        bool proxy, logon;
        EnabledControls enabled;  // url, proxy, proxy credentials, local, share
    } rows[] = {
        {0, false, true, {true, false, false, false, false}},
        {0, true, false, {true, true, false, false, false}},
        {0, true, true, {true, true, true, false, false}},
        {1, true, true, {false, false, false, false, true}},
        {2, true, true, {false, false, false, true, false}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.enabled, EnablingRule(row.type, row.proxy, row.logon))
            << row.type << row.proxy << row.logon;
    }
}

// The trees the service's unit hides, by where a folder really is: a link
// from a visible place into a hidden one is hidden too.
TEST(ServiceSandbox, FoldersUnderTheHiddenTreesAreNamed) {
    Testing::ScratchDir dir;
    const std::string link = dir / "to-root";
    ASSERT_EQ(0, ::symlink("/root", link.c_str()));
    const std::pair<std::string, bool> rows[] = {
        {"/home/admin/dat", true}, {"/root", true},       {"/tmp/site", true},     {"/var/tmp/x", true},
        {"/run/user/0/d", true},   {"/srv/vexor", false}, {"/homestead/d", false}, {"/var/lib/vexor/src", false},
        {"/srv/../home/a", true},  {"relative/dir", false}, {"", false},
    };
    for (const auto& [folder, hidden] : rows) {
        EXPECT_EQ(hidden, !FolderHiddenFromService(folder).empty()) << folder;
    }
    // ScratchDir lives under /tmp itself: judge the link's target, not its place.
    EXPECT_NE(std::string::npos, FolderHiddenFromService(link).find("the home folders are hidden"))
        << FolderHiddenFromService(link);
}

TEST(SettingsPageRules, ApplyRefusesPortsOutsideSixteenBitsAndUrlsThatDoNotParse) {
    for (const int64_t port : {int64_t{0}, int64_t{1}, int64_t{32768}, int64_t{65535}}) {
        EXPECT_EQ("", ProxyPortError(port)) << port;
    }
    for (const int64_t port : {int64_t{-1}, int64_t{65536}, int64_t{70000}}) {
        EXPECT_EQ(kProxyPortMessage, ProxyPortError(port)) << port;
    }
    EXPECT_EQ("", SourceUrlError("http://update.vexor.example/Products/CommonUpdater"));
    EXPECT_EQ("Invalid URL", SourceUrlError("update site"));
}

TEST(StatusPageText, TimesStatusAndLogReadAsAnAdministratorExpects) {
    Testing::ScopedEnv zone("TZ", "UTC");
    tzset();
    EXPECT_EQ("Tuesday, March 05, 2024, 03:07 PM", FormatAttemptTime(1709651220));
    EXPECT_EQ("", FormatAttemptTime(0));
    EXPECT_EQ("Checking  for updates ", StatusLine("Checking\r\nfor updates\n"));
    EXPECT_EQ("15:07:00    first\n15:07:05    second", ComposeLog({{1709651220, "first"}, {1709651225, "second"}}));
    EXPECT_EQ("", ComposeLog({}));
    EXPECT_EQ(1000, RefreshIntervalMs(true));
    EXPECT_EQ(10000, RefreshIntervalMs(false));
}

}  // namespace
}  // namespace TesselSoftware::VexorConfig

namespace TesselSoftware::VexorConfig {
namespace {

TEST(ShareFolder, AFolderOnAnSmbMountIsOfferedByItsShareName) {
    const std::string mountinfo =
        "22 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw\n"
        "40 22 0:50 / /mnt/updates rw,relatime - cifs //fileserver/updates rw,vers=3.0\n"
        "41 40 0:51 / /mnt/updates/local rw,relatime - tmpfs tmpfs rw\n"
        "42 22 0:52 / /mnt/with\\040space rw,relatime - smb3 //nas/dat\\040files rw\n";
    const std::pair<std::string, std::optional<std::string>> rows[] = {
        {"/mnt/updates", "\\\\fileserver\\updates"},
        {"/mnt/updates/vexor/dat", "\\\\fileserver\\updates\\vexor\\dat"},
        {"/mnt/updates/local/x", std::nullopt},   // a deeper mount of another kind
        {"/mnt/updatesX", std::nullopt},          // a name that only starts alike
        {"/mnt/with space/v", "\\\\nas\\dat files\\v"},
        {"/home/admin", std::nullopt},
    };
    for (const auto& [folder, share] : rows) EXPECT_EQ(share, ShareNameForFolder(folder, mountinfo)) << folder;
}

}  // namespace
}  // namespace TesselSoftware::VexorConfig
