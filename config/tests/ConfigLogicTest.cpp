#include <gtest/gtest.h>

#include <ctime>

#include "TestSupport.h"
#include "logic/SettingsPageRules.h"
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
