// Sites that ask to be left alone (429/503 with Retry-After), against a
// real HTTP server that counts what it is asked: no request before the
// time, one after it, across a restart, and none of it for another address.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>

#include "Common/Errors/ExceptionBase.h"
#include "TestSupport.h"
#include "sources/DownloaderINET.h"
#include "sources/HttpTransfer.h"
#include "sources/SiteCoolDown.h"

namespace TesselSoftware {
namespace {

TEST(RetryAfterSeconds, SecondsDatesAbsentAndAbsurdValues) {
    const int64_t now = 1'800'000'000;
    char in_two_hours[64];
    const time_t later = static_cast<time_t>(now + 7200);
    struct tm parts {};
    gmtime_r(&later, &parts);
    std::strftime(in_two_hours, sizeof in_two_hours, "%a, %d %b %Y %H:%M:%S GMT", &parts);
    const struct Row {
        int32_t status;
        std::string header;
        int64_t seconds;
    } rows[] = {
        {429, "120", 120},       {429, " 45 ", 45},   {503, "30", 30},           {429, in_two_hours, 7200},
        {429, "", 600},          {503, "", 0},        {429, "-5", 600},          {429, "soon", 600},
        {503, "soon", 0},        {429, "0", 0},       {429, "999999999999999", 86400}, {429, "90000", 86400},
        {429, "Thu, 01 Jan 1970 00:00:00 GMT", 0},   {404, "120", 0},           {200, "120", 0},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.seconds, RetryAfterSeconds(row.status, row.header, now)) << row.status << " '" << row.header << "'";
    }
}

class SiteCoolDownTest : public ::testing::Test {
protected:
    SiteCoolDownTest()
        : root_env_("VEXOR_SYSTEM_ROOT", dir_.path()), site_({"/usr/bin/python3", VEXOR_RETRY_AFTER_SITE}) {
        port_ = site_.ReadLine();
        EXPECT_FALSE(port_.empty()) << "the test site did not start";
    }

    std::string Address(const std::string& path) const { return "http://127.0.0.1:" + port_ + path; }

    // Requests the site has had under path so far.
    int Requests(const std::string& path) {
        ProxySettings direct;
        HttpTransfer client(&direct, "test", 1, 30, 0);
        FileTransferOutput out(dir_ / "count");
        EXPECT_TRUE(client.Get(Address("/count?" + path), out, 1, {})) << client.ErrorText();
        return std::stoi(Testing::ReadFile(dir_ / "count"));
    }

    // One pass's download of the catalogue from address, by a downloader
    // of its own (as a restarted service would make): "downloaded", the
    // failure, or the text of what it threw.
    std::string Fetch(const std::string& address) {
        SourceSettings settings(address);
        CDownloaderINET downloader(&settings);
        try {
            return downloader.DownloadCatalogue("oem.ini", dir_ / "oem.ini") ? "downloaded" : "failed: " + downloader.LastError();
        } catch (const CTLVexorNetException& e) {
            return e.Message();
        }
    }

    Testing::ScratchDir dir_;
    Testing::ScopedEnv root_env_;
    Testing::SpawnedProcess site_;
    std::string port_;
};

TEST_F(SiteCoolDownTest, NoRequestBeforeTheTimeAndOneAfterItAcrossRestarts) {
    const struct Row {
        std::string path;
        int64_t seconds;  // the cool-down the answer asks for
    } rows[] = {
        {"/429/120/", 120},   {"/503/30/", 30},       {"/429/none/", 600},
        {"/429/-5/", 600},    {"/429/9999999999/", 86400}, {"/503/none/", 0},
    };
    for (const Row& row : rows) {
        const std::string address = Address(row.path);
        const int64_t now = static_cast<int64_t>(std::time(nullptr));
        const std::string first = Fetch(address);
        EXPECT_EQ(1, Requests(row.path)) << row.path;
        if (row.seconds == 0) {
            EXPECT_EQ("failed: Request failed: Response code: 503 returned.", first);
            EXPECT_FALSE(FindSiteCoolDown(address, now).has_value()) << row.path;
            Fetch(address);
            EXPECT_EQ(2, Requests(row.path)) << "a 503 without Retry-After holds nothing back";
            continue;
        }
        EXPECT_EQ(0u, first.find("The update site asked to wait until ")) << first;
        EXPECT_NE(std::string::npos, first.find(row.path.substr(1, 3) == "429" ? "(HTTP 429 Too Many Requests)"
                                                                             : "(HTTP 503 Service Unavailable)"))
            << first;
        const auto cool = FindSiteCoolDown(address, now);
        ASSERT_TRUE(cool.has_value()) << row.path;
        EXPECT_NEAR(static_cast<double>(now + row.seconds), static_cast<double>(cool->not_before), 5) << row.path;

        // The next pass, by a restarted service: the same text, no request.
        EXPECT_EQ(first, Fetch(address));
        EXPECT_EQ(1, Requests(row.path)) << row.path << ": asked before its time";

        // Once the time has come, one request again.
        RecordSiteCoolDown(address, now - 1, cool->reason);
        Fetch(address);
        EXPECT_EQ(2, Requests(row.path)) << row.path;
    }
}

TEST_F(SiteCoolDownTest, ACoolDownHoldsBackItsOwnAddressOnly) {
    ASSERT_EQ(0u, Fetch(Address("/429/3600/")).find("The update site asked to wait until "));
    // The engine site, or the source's address after a settings change.
    EXPECT_EQ("downloaded", Fetch(Address("/200/none/")));
    EXPECT_EQ(1, Requests("/200/"));
    EXPECT_EQ(0u, Fetch(Address("/429/3600/")).find("The update site asked to wait until "));
    EXPECT_EQ(1, Requests("/429/"));
}

}  // namespace
}  // namespace TesselSoftware
