// The transfer client against real servers: every failure text it can give
// reached by a real server or a real failure, the retry order, the caps and
// the proxy rules.
#include <gtest/gtest.h>

#include <limits>
#include <stdlib.h>

#include <chrono>
#include <functional>
#include <thread>
#include <atomic>

#include "InternetTestEnvironment.h"
#include "sources/HttpTransfer.h"

namespace TesselSoftware {
namespace {

using Testing::ReadFile;
using Testing::Servers;
using Testing::WriteFile;

// What one Get gave: "ok <code>" or the error text, and the bytes received.
struct Outcome {
    std::string result;
    std::string body;
    int attempts = 0;
};

Outcome Fetch(const std::string& url, const ProxySettings& proxy, int attempts = 1,
              const TransferProgress& progress = nullptr, uint64_t max_bytes = HttpTransfer::kDefaultMaxBytes,
              int32_t low_speed_time = 180) {
    const std::string local = Servers().dir / "received";
    HttpTransfer client(&proxy, "Vexor for Tessel 6.1.2.", 1, low_speed_time, 5, max_bytes);
    bool ok = false;
    {
        FileTransferOutput output(local);
        ok = client.Get(url, output, attempts, progress);
    }
    Outcome outcome;
    outcome.result = ok ? "ok " + std::to_string(client.ResponseCode()) : client.ErrorText();
    outcome.body = Testing::Exists(local) ? ReadFile(local) : "";
    outcome.attempts = client.AttemptsMade();
    return outcome;
}

ProxySettings Direct() { return ProxySettings{}; }

ProxySettings ViaProxy(const std::string& password = Testing::kProxyPassword) {
    ProxySettings proxy;
    proxy.SetManual("127.0.0.1", Servers().proxy.port(), Testing::kProxyUser, password);
    return proxy;
}

class HttpTransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFile(Servers().site + "/oem.ini", "[AVV-ZIP]\r\nDATVersion=7\r\n");
        WriteFile(Servers().site + "/zeros.bin", std::string(100000, '\0'));
    }
};

TEST_F(HttpTransferTest, OutcomesAgainstRealServers) {
    const auto& nginx = Servers().nginx;
    const std::string oem = "[AVV-ZIP]\r\nDATVersion=7\r\n";
    const struct {
        const char* name;
        std::string url;
        ProxySettings proxy;
        std::string expected;  // "ok <code>" or the start of the error text
    } cases[] = {
        {"http", nginx.HttpUrl("/oem.ini"), Direct(), "ok 200"},
        {"https, trusted root", nginx.HttpsUrl("/oem.ini"), Direct(), "ok 200"},
        {"https, unknown root", nginx.UntrustedUrl("/oem.ini"), Direct(),
         "Request failed, please see Quorvane Knowledge Base article Q13703. "},
        {"http to https", nginx.HttpUrl("/to-https/oem.ini"), Direct(), "ok 200"},
        {"five redirections", nginx.HttpUrl("/redirect/4"), Direct(), "ok 200"},
        {"six redirections", nginx.HttpUrl("/redirect/5"), Direct(), "Request failed: Maximum"},
        {"six through the proxy", nginx.HttpUrl("/redirect/5"), ViaProxy(),
         "Request failed, please check your proxy settings. Maximum"},
        {"399", nginx.HttpUrl("/status/399"), Direct(), "ok 399"},
        {"400", nginx.HttpUrl("/status/400"), Direct(), "Request failed: Response code: 400 returned."},
        {"404", nginx.HttpUrl("/missing.ini"), Direct(), "Request failed: Response code: 404 returned."},
        {"https through the proxy", nginx.HttpsUrl("/oem.ini"), ViaProxy(), "ok 200"},
        {"wrong proxy password", nginx.HttpUrl("/oem.ini"), ViaProxy("wrong"),
         "Request failed: Response code: 401 returned."},  // what tinyproxy answers
        {"no such site", "http://127.0.0.1:" + std::to_string(Testing::FreePort()) + "/x", Direct(),
         "Request failed: "},
        {"not a URL", "mailto:someone", Direct(), "Invalid URL <mailto:someone>"},
        {"ftp", Servers().ftp.Url("/oem.ini"), Direct(), "ok 226"},
        {"file", "file://localhost" + Servers().site + "/oem.ini", Direct(), "ok 0"},
        {"missing file", "file://localhost" + Servers().site + "/none.ini", Direct(),
         "CSimpleFile: " + Servers().site + "/none.ini - 2 - The system cannot find the file specified."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome outcome = Fetch(c.url, c.proxy);
        EXPECT_TRUE(outcome.result.starts_with(c.expected)) << outcome.result;
        if (c.expected == "ok 200" || c.name == std::string("ftp") || c.name == std::string("file")) {
            EXPECT_EQ(oem, outcome.body);
        }
    }
}

// The machine's roots are read again when the bundle changes: a root the
// administrator removed is no longer trusted, without a restart.
TEST_F(HttpTransferTest, ARootRemovedFromTheBundleStopsBeingTrustedAtOnce) {
    const std::string bundle = Servers().dir / "etc/ssl/certs/ca-certificates.crt";
    const std::string trusted = ReadFile(bundle);
    EXPECT_EQ("ok 200", Fetch(Servers().nginx.HttpsUrl("/oem.ini"), Direct()).result);
    WriteFile(bundle, "");
    const Outcome refused = Fetch(Servers().nginx.HttpsUrl("/oem.ini"), Direct());
    WriteFile(bundle, trusted);
    EXPECT_TRUE(refused.result.starts_with("Request failed")) << refused.result;
    EXPECT_EQ("ok 200", Fetch(Servers().nginx.HttpsUrl("/oem.ini"), Direct()).result);
}

TEST_F(HttpTransferTest, AProxyModeFromTheSystemIsRefused) {
    ProxySettings proxy;
    proxy.mode = kProxySystem;
    EXPECT_EQ("Microsoft registry pre-configured proxy access is not supported.",
              Fetch(Servers().nginx.HttpUrl("/oem.ini"), proxy).result);
}

// Proxy variables of the environment change nothing: direct is direct.
TEST_F(HttpTransferTest, ProxyEnvironmentIsIgnored) {
    Testing::ScopedEnv http("http_proxy", "http://127.0.0.1:1");
    Testing::ScopedEnv https("https_proxy", "http://127.0.0.1:1");
    EXPECT_EQ("ok 200", Fetch(Servers().nginx.HttpUrl("/oem.ini"), Direct()).result);
    EXPECT_EQ("ok 200", Fetch(Servers().nginx.HttpsUrl("/oem.ini"), Direct()).result);
}

// Content is decoded before it is counted, so a compressed bomb meets the cap.
TEST_F(HttpTransferTest, GzipIsDecodedAndTheCapCountsDecodedBytes) {
    const Outcome whole = Fetch(Servers().nginx.HttpUrl("/zeros.bin"), Direct());
    EXPECT_EQ("ok 200", whole.result);
    EXPECT_EQ(std::string(100000, '\0'), whole.body);
    EXPECT_EQ("Request failed: Maximum file size exceeded",
              Fetch(Servers().nginx.HttpUrl("/zeros.bin"), Direct(), 1, nullptr, 50000).result);
}

// The overall time-out grows with the size cap but never past what the
// network library takes: the largest caps still download.
TEST_F(HttpTransferTest, TheLargestSizeCapsStillDownload) {
    for (const uint64_t cap : {uint64_t{1} << 40, std::numeric_limits<uint64_t>::max()}) {
        SCOPED_TRACE(cap);
        EXPECT_EQ("ok 200", Fetch(Servers().nginx.HttpUrl("/oem.ini"), Direct(), 1, nullptr, cap).result);
    }
}

// FTP goes direct first, then through the proxy, then through it again.
TEST_F(HttpTransferTest, FtpTriesDirectThenTheProxyTwice) {
    const int before = Servers().proxy.CountLogged("): GET ftp://");
    const Outcome missing = Fetch(Servers().ftp.Url("/none.ini"), ViaProxy());
    EXPECT_EQ(3, missing.attempts);
    // Two proxied attempts; each asks twice, first without credentials to
    // learn which scheme the proxy wants.
    EXPECT_EQ(before + 4, Servers().proxy.CountLogged("): GET ftp://"));
    EXPECT_EQ(2, Fetch(Servers().ftp.Url("/none.ini"), Direct()).attempts);
    EXPECT_EQ(1, Fetch(Servers().ftp.Url("/oem.ini"), ViaProxy()).attempts);
}

// A failed partial attempt never leaves its bytes before the next one's.
TEST_F(HttpTransferTest, ARetryStartsFromAnEmptyFile) {
    const std::string body(300000, 'b');
    Testing::OddServer server("truncate-first", body);
    const Outcome outcome = Fetch(server.Url(), Direct(), 2);
    EXPECT_EQ("ok 200", outcome.result);
    EXPECT_EQ(2, outcome.attempts);
    EXPECT_EQ(body.size(), outcome.body.size());
}

TEST_F(HttpTransferTest, AStalledBodyFailsAfterTheLowSpeedWindow) {
    Testing::OddServer server("stall", std::string(1000, 's'));
    const Outcome outcome = Fetch(server.Url(), Direct(), 1, nullptr, HttpTransfer::kDefaultMaxBytes, 1);
    EXPECT_TRUE(outcome.result.starts_with("Request failed: Operation too slow")) << outcome.result;
}

TEST_F(HttpTransferTest, ProgressComesAtMostOnceASecondAndCanCancel) {
    WriteFile(Servers().site + "/slow/big.bin", Testing::RandomBytes(2500000));  // gzip cannot shrink it
    const auto start = std::chrono::steady_clock::now();
    std::vector<double> seconds;
    const Outcome outcome = Fetch(Servers().nginx.HttpUrl("/slow/big.bin"), Direct(), 1, [&](double) {
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        return 0;
    });
    EXPECT_EQ("ok 200", outcome.result);
    ASSERT_FALSE(seconds.empty());
    EXPECT_GE(seconds.front(), 1.0);
    for (size_t i = 1; i < seconds.size(); ++i) EXPECT_GE(seconds[i] - seconds[i - 1], 1.0);

    // A cancel ends the transfer at the next progress call, and is not retried.
    const Outcome cancelled =
        Fetch(Servers().nginx.HttpUrl("/slow/big.bin"), Direct(), 3, [](double) { return 1; });
    EXPECT_TRUE(cancelled.result.starts_with("Request failed: ")) << cancelled.result;
    EXPECT_EQ(1, cancelled.attempts);
}

// A site that sends one byte and then nothing: a cancel must not wait for
// the low-speed window (minutes) to end the transfer.
TEST_F(HttpTransferTest, ACancelEndsAStalledTransferWithinASecond) {
    Testing::OddServer server("stall", std::string(1000, 's'));
    ProxySettings proxy;
    HttpTransfer client(&proxy, "agent", 1, 180, 5);
    FileTransferOutput output(Servers().dir / "stalled");
    std::atomic<bool> cancel{false};
    std::chrono::steady_clock::time_point cancelled_at;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        cancelled_at = std::chrono::steady_clock::now();
        cancel = true;
    });
    const bool ok = client.Get(server.Url(), output, 3, nullptr, [&] { return cancel.load(); });
    const auto ended = std::chrono::steady_clock::now();
    canceller.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ("Request failed: Cancelled", client.ErrorText());
    EXPECT_EQ(1, client.AttemptsMade());
    EXPECT_LT(ended - cancelled_at, std::chrono::milliseconds(1500));
}

TEST_F(HttpTransferTest, AnOutputThatCannotBeWrittenFailsTheDownload) {
    ProxySettings proxy;
    HttpTransfer client(&proxy, "agent", 1, 180, 5);
    FileTransferOutput output(Servers().dir / "no-such-folder/file");
    EXPECT_FALSE(client.Get(Servers().nginx.HttpUrl("/oem.ini"), output, 1, nullptr));
    EXPECT_EQ("Write error", client.ErrorText());
}

}  // namespace
}  // namespace TesselSoftware
