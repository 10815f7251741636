// The real service and the real vexorctl, as an administrator meets them:
// what start --wait, history, health and metrics say about passes the
// service and a one-shot run made.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>

#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "DatSiteBuilder.h"
#include "ServiceProgramSupport.h"
#include "TestSupport.h"

namespace TesselSoftware {
namespace {

using namespace Testing;

class OperatorViewTest : public ::testing::Test {
protected:
    OperatorViewTest() : env_("VEXOR_SYSTEM_ROOT", dir_.path()), notify_env_("NOTIFY_SOCKET", dir_ / "notify") {
        PrepareDatRoot(dir_.path());
        InstallSet(dir_ / "dat", 100);
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
        key.WriteQword("LastUpdateTime", static_cast<uint64_t>(std::time(nullptr)));
        key.WriteString("LogPath", dir_ / "log");
    }
    ~OperatorViewTest() override { StopService(); }

    void StartService() {
        systemd_ = std::make_unique<NotifyReceiver>(dir_ / "notify");
        service_ = std::make_unique<SpawnedProcess>(std::vector<std::string>{VEXOR_UPDATER_PROGRAM});
        ASSERT_NE(std::string::npos, systemd_->Until("READY=1").find("READY=1"));
    }
    void StopService() {
        if (!service_) return;
        service_->Kill(SIGTERM);
        EXPECT_EQ(0, service_->Wait());
        service_.reset();
    }

    struct Run {
        int status;
        std::string output;  // standard output and error together
    };
    static Run Program(const std::vector<std::string>& argv) {
        std::vector<std::string> shell = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1"};
        shell.insert(shell.end(), argv.begin(), argv.end());
        SpawnedProcess process(shell);
        Run run;
        run.status = process.Wait(&run.output);
        return run;
    }
    static Run Ctl(std::vector<std::string> args) {
        args.insert(args.begin(), VEXOR_CTL_PROGRAM);
        return Program(args);
    }

    ScratchDir dir_;
    ScopedEnv env_;
    ScopedEnv notify_env_;
    DatSite site_{dir_ / "site"};
    std::unique_ptr<NotifyReceiver> systemd_;
    std::unique_ptr<SpawnedProcess> service_;
};

// Passes on an up-to-date site take milliseconds and write the same lines
// in the same second; each start --wait still finds the pass it started.
TEST_F(OperatorViewTest, TenBackToBackStartWaitsOnAnUpToDateSiteEachReturnPromptly) {
    site_.PublishFull(100);
    site_.WriteOem(100);
    StartService();
    for (int run = 0; run < 10; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const auto started = std::chrono::steady_clock::now();
        const Run wait = Ctl({"start", "--wait", "--timeout", "10"});
        const auto took = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(0, wait.status) << wait.output;
        EXPECT_NE(std::string::npos, wait.output.find("status: Check finished.\n")) << wait.output;
        EXPECT_LT(took, std::chrono::seconds(5));
    }
}

// A failure whose text names an archive entry with a name that is not
// UTF-8 is a failed pass wherever an operator looks, its text kept with
// U+FFFD in place of the broken bytes.
TEST_F(OperatorViewTest, AFailureNamingABrokenArchiveEntryIsAFailedPassEverywhere) {
    const std::string staging = dir_ / "staging";
    for (const auto& [name, content] : DatFilesOf(101)) WriteFile(staging + "/" + name, content);
    ASSERT_EQ(0, ::symlink("/etc/passwd", (staging + "/\xe9t\xe9.lnk").c_str()));
    const std::string archive = dir_ / "site/avvdat-101.zip";
    ASSERT_EQ(0, Program({"/bin/sh", "-c", "cd \"$0\" && 7za a -tzip -snl -bd \"$1\" . >/dev/null", staging, archive})
                     .status);
    WriteFile(dir_ / "site/avvdat.ini", "[AVV-ZIP]\r\nMD5=" + Md5OfFile(archive) + "\r\n");
    site_.WriteOem(101);
    StartService();

    const std::string broken_name = "\xef\xbf\xbdt\xef\xbf\xbd.lnk";
    const Run wait = Ctl({"start", "--wait", "--timeout", "60"});
    EXPECT_EQ(1, wait.status) << wait.output;
    EXPECT_NE(std::string::npos, wait.output.find("the update pass failed: ")) << wait.output;
    EXPECT_NE(std::string::npos, wait.output.find(broken_name)) << wait.output;
    const Run history = Ctl({"history"});
    EXPECT_NE(std::string::npos, history.output.find("  Error: ")) << history.output;
    const Run health = Ctl({"health"});
    EXPECT_EQ(1, health.status) << health.output;
    EXPECT_EQ(0u, health.output.find("VEXOR WARNING - DAT set 100 installed ")) << health.output;
    EXPECT_NE(std::string::npos, health.output.find(broken_name)) << health.output;
    const Run metrics = Ctl({"metrics"});
    EXPECT_NE(std::string::npos, metrics.output.find("\nvexor_last_check_success 0\n")) << metrics.output;
}

// A one-shot pass, run while the service idles, is recorded where health
// and the metrics look: its failure warns, and its check time counts.
TEST_F(OperatorViewTest, AOneShotPassIsSeenByHealthAndMetrics) {
    site_.PublishFull(100);
    site_.WriteOem(100);
    StartService();
    ASSERT_EQ(0, Ctl({"start", "--wait", "--timeout", "30"}).status);
    EXPECT_EQ(0, Ctl({"health"}).status);

    site_.Remove("oem.ini");
    site_.Remove("avvdat-100.zip");
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    const Run once = Program({VEXOR_UPDATER_PROGRAM, "-once"});
    EXPECT_EQ(1, once.status) << once.output;
    const Run health = Ctl({"health"});
    EXPECT_EQ(1, health.status) << health.output;
    EXPECT_NE(std::string::npos, health.output.find("the last update pass failed: Failed to get the latest"))
        << health.output;
    RegistryKey key;
    key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
    uint64_t last_check = 0;
    key.ReadQword("LastCheckTime", 0, &last_check);
    EXPECT_GE(static_cast<int64_t>(last_check), before);
    const Run metrics = Ctl({"metrics"});
    EXPECT_NE(std::string::npos, metrics.output.find("\nvexor_last_check_success 0\n")) << metrics.output;
    EXPECT_NE(std::string::npos, metrics.output.find("vexor_last_check_timestamp_seconds " + std::to_string(last_check)))
        << metrics.output;
}

}  // namespace
}  // namespace TesselSoftware
