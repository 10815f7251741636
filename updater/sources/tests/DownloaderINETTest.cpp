// The internet downloader against the shared servers: its connection lines,
// progress lines, cancel, failure texts and what it never shows.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "InternetTestEnvironment.h"
#include "core/UpdateProgress.h"
#include "sources/DownloaderINET.h"

namespace TesselSoftware {
namespace {

using Testing::Servers;
using Testing::WriteFile;

// Keeps every message; cancels when asked to.
class RecordingProgress : public IUpdateProgress {
public:
    void AddMessageText(const std::string& text) override {
        std::lock_guard lock(mutex_);
        messages_.push_back(text);
    }
    bool IsCancelled() const override { return cancelled.load(); }
    void SetCurrentStatusText(const std::string&) override {}
    void ReportProgress(int, const std::string&, int) override {}
    std::vector<std::string> Messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    std::vector<std::string> MessagesStartingWith(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const std::string& m : Messages()) {
            if (m.starts_with(prefix)) found.push_back(m);
        }
        return found;
    }
    std::atomic<bool> cancelled{false};

private:
    mutable std::mutex mutex_;
    std::vector<std::string> messages_;
};

class DownloaderINETTest : public ::testing::Test {
protected:
    DownloaderINETTest() { WriteFile(Servers().site + "/oem.ini", "[AVV-ZIP]\r\nDATVersion=7\r\n"); }

    // Downloads name from base into the scratch folder; true on success.
    bool Download(const std::string& base, const std::string& name) {
        settings_.SetAddress(base);
        CDownloaderINET downloader(&settings_);
        downloader.SetProgress(&progress_);
        const bool ok = downloader.Download(name, local_);
        last_error_ = downloader.LastError();
        last_code_ = downloader.LastCode();
        return ok;
    }

    SourceSettings settings_{""};
    RecordingProgress progress_;
    std::string local_ = Servers().dir / "downloaded";
    std::string last_error_;
    int32_t last_code_ = 0;
};

TEST_F(DownloaderINETTest, ConnectionLinesFollowTheProxySettings) {
    const std::string proxy_port = std::to_string(Servers().proxy.port());
    const struct {
        const char* name;
        bool use_proxy;
        const char* user;
        std::vector<std::string> lines;
        bool succeeds;
    } cases[] = {
        {"proxy off, details filled in", false, "ab", {"Connecting directly"}, true},
        {"authenticated proxy", true, Testing::kProxyUser,
         {"Connecting via authenticated proxy: 5, 118",
          "Connecting via authenticated proxy: 127.0.0.1:" + proxy_port},
         true},
        {"authenticated as ab (refused by it)", true, "ab",
         {"Connecting via authenticated proxy: 2, 97",
          "Connecting via authenticated proxy: 127.0.0.1:" + proxy_port},
         false},
        {"proxy without logon (refused by it)", true, "", {"Connecting via proxy: 127.0.0.1:" + proxy_port},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingProgress progress;
        settings_.SetUseProxy(c.use_proxy);
        settings_.SetProxyName("127.0.0.1");
        settings_.SetProxyPort(Servers().proxy.port());
        settings_.SetProxyUserName(c.user);
        settings_.SetProxyPassword(Testing::kProxyPassword);
        settings_.SetAddress(Servers().nginx.HttpUrl());
        CDownloaderINET downloader(&settings_);
        downloader.SetProgress(&progress);
        EXPECT_EQ(c.succeeds, downloader.Download("oem.ini", local_)) << downloader.LastError();
        const std::vector<std::string> messages = progress.Messages();
        ASSERT_GE(messages.size(), c.lines.size() + 1);
        for (size_t i = 0; i < c.lines.size(); ++i) EXPECT_EQ(c.lines[i], messages[i]);
        EXPECT_EQ("Downloading '" + Servers().nginx.HttpUrl() + "/oem.ini'", messages[c.lines.size()]);
    }
}

TEST_F(DownloaderINETTest, FailuresReturnTheClientTextAndLeaveNoFile) {
    EXPECT_FALSE(Download(Servers().nginx.HttpUrl(), "missing.ini"));
    EXPECT_EQ(404, last_code_);
    EXPECT_EQ("Request failed: Response code: 404 returned.", last_error_);
    EXPECT_FALSE(Testing::Exists(local_));
    // The transfer's own reason gets a line of its own in the history.
    EXPECT_EQ(std::vector<std::string>{"Download of 'missing.ini' failed: Request failed: Response code: 404 returned."},
              progress_.MessagesStartingWith("Download of "));

    // A trailing "/" in the base still gives a request the server knows.
    EXPECT_TRUE(Download(Servers().nginx.HttpUrl() + "/", "oem.ini")) << last_error_;
    EXPECT_EQ("[AVV-ZIP]\r\nDATVersion=7\r\n", Testing::ReadFile(local_));
}

TEST_F(DownloaderINETTest, CredentialsInTheAddressAreUsedButNeverShown) {
    Testing::FtpServer account_ftp(Servers().site, "updates", "pa55word");
    EXPECT_TRUE(Download(account_ftp.Url("", "updates:pa55word"), "oem.ini")) << last_error_;
    EXPECT_FALSE(Download(account_ftp.Url("", "updates:wrong"), "oem.ini"));
    for (const std::string& message : progress_.Messages()) {
        EXPECT_EQ(std::string::npos, message.find("pa55word")) << message;
        EXPECT_EQ(std::string::npos, message.find("wrong")) << message;
    }
    EXPECT_EQ(std::string::npos, last_error_.find("wrong")) << last_error_;
}

// 2,500,000 bytes at 1 MB/s: a line past 1,000,000 and one past 2,000,000.
TEST_F(DownloaderINETTest, ProgressLinesPerNewMillionBytes) {
    WriteFile(Servers().site + "/slow/set.zip", Testing::RandomBytes(2500000));
    ASSERT_TRUE(Download(Servers().nginx.HttpUrl("/slow"), "set.zip")) << last_error_;
    const std::vector<std::string> lines = progress_.MessagesStartingWith("Downloaded ");
    ASSERT_EQ(2u, lines.size());
    EXPECT_TRUE(lines[0].starts_with("Downloaded 1")) << lines[0];
    EXPECT_TRUE(lines[1].starts_with("Downloaded 2")) << lines[1];
}

TEST_F(DownloaderINETTest, ACancelEndsTheDownloadWithinASecond) {
    WriteFile(Servers().site + "/slow/long.zip", Testing::RandomBytes(8000000));
    std::thread cancel([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        progress_.cancelled = true;
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Download(Servers().nginx.HttpUrl("/slow"), "long.zip"));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cancel.join();
    EXPECT_LT(seconds, 3.0);  // 1.5 s until the cancel, then at most the next progress call
    EXPECT_TRUE(last_error_.starts_with("Request failed: ")) << last_error_;
    EXPECT_FALSE(Testing::Exists(local_));
}

TEST_F(DownloaderINETTest, ListingIsNotOffered) {
    CDownloaderINET downloader(&settings_);
    std::vector<std::string> names;
    EXPECT_FALSE(downloader.ListFiles("avvdat-.*", &names));
    EXPECT_TRUE(names.empty());
}

}  // namespace
}  // namespace TesselSoftware
