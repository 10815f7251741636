// The updater as a service: its unit, its log, its command line and its
// conversation with systemd, through the real program where it matters.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <filesystem>

#include "Common/Logs/TextLog.h"
#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "Common/Rpc/RpcClient.h"
#include "ServiceProgramSupport.h"
#include "TestServers.h"
#include "TestSupport.h"
#include "UpdaterTestSupport.h"
#include "rpc/UpdaterControlClient.h"
#include "service/ServiceLog.h"
#include "service/SystemdUnit.h"

namespace TesselSoftware {
namespace {

using namespace Testing;

TEST(SystemdUnit, TheProgramPathIsOneQuotedWordOrRefused) {
    const struct Row {
        std::string path;
        std::optional<std::string> quoted;
    } rows[] = {
        {"/opt/vexor/VexorDatUpdater", "\"/opt/vexor/VexorDatUpdater\""},
        {"/opt/my vexor/100%/$HOME/a\"b\\c", "\"/opt/my vexor/100%%/$$HOME/a\\\"b\\\\c\""},
        {"relative/VexorDatUpdater", std::nullopt},
        {"/opt/new\nline", std::nullopt},
        {"/opt/tab\there", std::nullopt},
    };
    for (const Row& row : rows) EXPECT_EQ(row.quoted, QuoteExecPath(row.path)) << row.path;
}

TEST(ServiceLog, TheFolderAndMaskComeFromTheStoreWithTheirFallbacks) {
    ScratchDir dir;
    ScopedEnv env("VEXOR_SYSTEM_ROOT", dir.path());
    const struct Row {
        const char* name;
        std::optional<std::string> log_path, install_path;
        std::optional<uint32_t> flags;
        std::string folder;
        int32_t mask;
    } rows[] = {
        {"LogPath as stored", dir / "logs-here", dir / "install", 0x10, dir / "logs-here", 0x10},
        {"InstallPath and Logs", std::nullopt, dir / "install", std::nullopt, dir / "install/Logs", -2},
        {"the program's folder and Logs", std::nullopt, std::nullopt, 0, dir / "program/Logs", 0},
        {"a LogPath too long for the store's limit", std::string(300, 'x'), std::nullopt, std::nullopt,
         dir / "program/Logs", -2},
    };
    for (const Row& row : rows) {
        RegistryKey key;
        key.Create(RegistryRoot::kLocalMachine, kProductKeyPath);
        for (const char* name : {"LogPath", "InstallPath", "LoggingFlags"}) {
            if (key.ValueExists(name)) key.DeleteValue(name);
        }
        if (row.log_path) key.WriteString("LogPath", *row.log_path);
        if (row.install_path) key.WriteString("InstallPath", *row.install_path);
        if (row.flags) key.WriteDword("LoggingFlags", *row.flags);
        const std::string folder = ChooseLogFolder(key, dir / "program");
        EXPECT_EQ(row.folder, folder) << row.name;
        CTextLog log(1, 0, 0, 0);
        std::string error;
        ASSERT_TRUE(OpenUpdaterLog(log, key, folder, &error)) << row.name;
        EXPECT_EQ(row.mask, log.LevelMask()) << row.name;
        EXPECT_TRUE(std::filesystem::is_directory(folder)) << row.name;
    }
}

// The real program with a recording systemctl, on a scratch system root.
class UpdaterProgramTest : public ::testing::Test {
protected:
    UpdaterProgramTest() : env_("VEXOR_SYSTEM_ROOT", dir_.path()), systemctl_env_("VEXOR_SYSTEMCTL", dir_ / "systemctl") {
        WriteFile(dir_ / "systemctl",
                  "#!/bin/sh\necho \"$*\" >> '" + dir_ / "systemctl.log" + "'\n"
                  "[ \"$1\" = is-active ] && echo inactive\nexit 0\n");
        ::chmod((dir_ / "systemctl").c_str(), 0755);
    }
    // Runs the program with args; its output and exit status.
    std::pair<int, std::string> Updater(const std::vector<std::string>& args, const std::string& program = VEXOR_UPDATER_PROGRAM) {
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), args.begin(), args.end());
        SpawnedProcess process(argv);
        std::string output;
        const int status = process.Wait(&output);
        return {status, output};
    }
    std::string SystemctlCalls() const { return Exists(dir_ / "systemctl.log") ? ReadFile(dir_ / "systemctl.log") : ""; }
    std::string UnitPath() const { return dir_ / "etc/systemd/system/VexorDatUpdater64.service"; }

    ScratchDir dir_;
    ScopedEnv env_;
    ScopedEnv systemctl_env_;
};

TEST_F(UpdaterProgramTest, CommandLinesInstallRemoveAndExplain) {
    const struct Row {
        std::vector<std::string> args;
        int status;
        std::string output;
        std::string systemctl;  // the calls it made, in order
    } rows[] = {
        {{"-INSTALL", "-AUTO"}, 0, "Tessel Vexor Updater (64 bit) installed.\n", "daemon-reload\nenable VexorDatUpdater64.service\n"},
        {{"/install", "-auto"}, 1, "CreateService failed - The specified service already exists. (0x431)\n", ""},
        {{"-remove"}, 0, "Tessel Vexor Updater (64 bit) removed.\n",
         "is-active VexorDatUpdater64.service\ndisable VexorDatUpdater64.service\ndaemon-reload\n"},
        {{"-install", "/auto"}, 0, "Tessel Vexor Updater (64 bit) installed.\n", "daemon-reload\n"},
        {{"/REMOVE"}, 0, "Tessel Vexor Updater (64 bit) removed.\n",
         "is-active VexorDatUpdater64.service\ndisable VexorDatUpdater64.service\ndaemon-reload\n"},
        {{"-remove"}, 1, "OpenService failed - The specified service does not exist as an installed service. (0x424)\n", ""},
        {{"-?"}, 0, "VexorDatUpdater -install [-auto]  to install the service\n", ""},
        {{"-frobnicate"}, 1, "Service initiating...\n", ""},
        {{}, 1, "Service initiating...\n", ""},
    };
    for (const Row& row : rows) {
        ::unlink((dir_ / "systemctl.log").c_str());
        const auto [status, output] = Updater(row.args);
        const std::string joined = row.args.empty() ? "(none)" : row.args[0];
        EXPECT_EQ(row.status, status) << joined;
        EXPECT_EQ(0u, output.find(row.output)) << joined << ": " << output;
        EXPECT_EQ(row.systemctl, SystemctlCalls()) << joined;
    }
}

TEST_F(UpdaterProgramTest, AProgramPathWithASpaceAndAPercentSignReadsBackAsItself) {
    const std::string folder = dir_ / "opt/my vexor 100%";
    std::filesystem::create_directories(folder);
    const std::string program = folder + "/VexorDatUpdater";
    std::filesystem::copy_file(VEXOR_UPDATER_PROGRAM, program);
    ASSERT_EQ(0, Updater({"-install"}, program).first);
    const std::string unit = ReadFile(UnitPath());
    EXPECT_NE(std::string::npos, unit.find("ExecStart=\"" + dir_.path() + "/opt/my vexor 100%%/VexorDatUpdater\"\n"));
    // systemd's own reading of the unit finds the program (it checks that
    // ExecStart names an executable file).
    SpawnedProcess verify({"/usr/bin/systemd-analyze", "verify", UnitPath()});
    std::string output;
    EXPECT_EQ(0, verify.Wait(&output)) << output;
}

TEST_F(UpdaterProgramTest, UnderSystemdItIsReadyOnlyWhenItListensAndStopsCleanlyOnSigterm) {
    NotifyReceiver systemd(dir_ / "notify");
    ScopedEnv notify("NOTIFY_SOCKET", dir_ / "notify");
    SpawnedProcess service({VEXOR_UPDATER_PROGRAM});
    const std::string start = systemd.Until("READY=1");
    // Start pending from the host, then three times from Run, then ready.
    ASSERT_EQ("EXTEND_TIMEOUT_USEC=15000000\nEXTEND_TIMEOUT_USEC=15000000\nSTATUS=Starting\n"
              "EXTEND_TIMEOUT_USEC=15000000\nEXTEND_TIMEOUT_USEC=5000000\nREADY=1\nSTATUS=Idle\n",
              start);
    // Ready means the endpoint answers at once.
    RpcClientConnection connection(RpcEndpointPath("VexorfTUpdater_RPC64"), UpdaterControl::InterfaceSyntax());
    char16_t* engine = nullptr;
    char16_t* dat = nullptr;
    char16_t* error = nullptr;
    EXPECT_EQ(1, UpdaterControl::Client::UpdaterGetVersionInfo(connection, &engine, &dat, &error));
    RpcFree(engine);
    RpcFree(dat);
    service.Kill(SIGTERM);
    EXPECT_NE(std::string::npos, systemd.Until("STOPPING=1").find("STOPPING=1"));
    EXPECT_EQ(0, service.Wait());
}

// SIGTERM cancels the running pass: the service does not wait for a site
// that drips its catalogue (a minute here), yet the pass ends at a safe
// point, records its check, and the service exits 0.
TEST_F(UpdaterProgramTest, SigtermDuringAPassCancelsItAndTheServiceExitsPromptly) {
    NoProxyEnvironment no_proxy;
    OddServer site("drip", "[AVV-ZIP]\r\nDATVersion=100\r\n" + std::string(600, ';'));
    OfferNoNewerEngine(dir_ / "engine-site");
    RegistryKey key;
    key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
    key.WriteDword("DATSource", 0);
    key.WriteString("SourceAddress", site.Url(""));
    key.WriteString("DATFolder", dir_ / "dat");
    NotifyReceiver systemd(dir_ / "notify");
    ScopedEnv notify("NOTIFY_SOCKET", dir_ / "notify");
    SpawnedProcess service({VEXOR_UPDATER_PROGRAM});
    ASSERT_NE(std::string::npos, systemd.Until("READY=1").find("READY=1"));
    RpcClientConnection connection(RpcEndpointPath("VexorfTUpdater_RPC64"), UpdaterControl::InterfaceSyntax());
    UpdaterControl::Client::UpdaterStartUpdate(connection);
    const auto running = [&] {
        int64_t last = 0, next = 0;
        uint8_t updating = 0;
        char16_t* status = nullptr;
        UpdaterControl::Client::UpdaterGetStatus(connection, &last, &next, &updating, &status);
        RpcFree(status);
        return updating != 0;
    };
    ASSERT_TRUE(WaitUntil(running));
    std::this_thread::sleep_for(std::chrono::seconds(1));  // well inside the download
    const auto stop = std::chrono::steady_clock::now();
    service.Kill(SIGTERM);
    EXPECT_NE(std::string::npos, systemd.Until("STOPPING=1").find("STOPPING=1"));
    EXPECT_EQ(0, service.Wait());
    EXPECT_LT(std::chrono::steady_clock::now() - stop, std::chrono::seconds(30));
    uint64_t last_check = 0;
    key.ReadQword("LastCheckTime", 0, &last_check);
    EXPECT_NE(0u, last_check);  // the pass ended and was recorded before the exit
}

TEST_F(UpdaterProgramTest, AStartUpFailureExitsWithOneAndSaysWhy) {
    WriteFile(dir_ / "not-a-folder", "");
    RegistryKey key;
    key.Create(RegistryRoot::kLocalMachine, kProductKeyPath);
    key.WriteString("LogPath", dir_ / "not-a-folder/logs");
    NotifyReceiver systemd(dir_ / "notify");
    ScopedEnv notify("NOTIFY_SOCKET", dir_ / "notify");
    SpawnedProcess service({VEXOR_UPDATER_PROGRAM});
    EXPECT_EQ(1, service.Wait());
    EXPECT_NE(std::string::npos, systemd.Until("STATUS=The logging folder").find("not-a-folder/logs could not be created"));
}

// The service's control connection with the calls these tests make.
class ServiceCalls {
public:
    ServiceCalls() : connection_(RpcEndpointPath("VexorfTUpdater_RPC64"), UpdaterControl::InterfaceSyntax()) {}
    // Status of the service: whether a pass runs, and the last check time.
    std::pair<bool, int64_t> Status() {
        int64_t last = 0, next = 0;
        uint8_t updating = 0;
        char16_t* status = nullptr;
        UpdaterControl::Client::UpdaterGetStatus(connection_, &last, &next, &updating, &status);
        RpcFree(status);
        return {updating != 0, last};
    }
    // Starts a pass and waits until it has ended.
    void RunPass() {
        const int64_t before = Status().second;
        UpdaterControl::Client::UpdaterStartUpdate(connection_);
        EXPECT_TRUE(WaitUntil([&] {
            const auto [running, last] = Status();
            return !running && last != before;
        })) << "the pass did not end";
    }
    uint8_t SetDatFolderSource(const std::u16string& folder) {
        char16_t* error = nullptr;
        const uint8_t done = UpdaterControl::Client::UpdaterSetDatSettings(
            connection_, 600, 2, u"http://unused.example/", 0, u"", 0, 0, u"", u"", folder.c_str(), u"", u"", u"",
            &error);
        RpcFree(error);
        return done;
    }

private:
    RpcClientConnection connection_;
};

// A one-shot run (another process) installs a newer set while the service
// runs; neither an administrator's settings change nor a failed service pass
// may put the service's older record back.
TEST_F(UpdaterProgramTest, WhatAnotherProcessRecordedSurvivesSettingsChangesAndFailedPasses) {
    OfferNoNewerEngine(dir_ / "engine-site");
    RegistryKey key;
    key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
    key.WriteString("DATFolder", dir_ / "dat");
    key.WriteString("DATPath", dir_ / "dat/avvdat-100-files");
    key.WriteDword("DATVersion", 100);
    std::filesystem::create_directories(dir_ / "empty-site");
    NotifyReceiver systemd(dir_ / "notify");
    ScopedEnv notify("NOTIFY_SOCKET", dir_ / "notify");
    SpawnedProcess service({VEXOR_UPDATER_PROGRAM});
    ASSERT_NE(std::string::npos, systemd.Until("READY=1").find("READY=1"));
    ServiceCalls calls;

    // What the one-shot run writes when it has installed 101 and tidied 100.
    key.WriteTogether({{"DATPath", true, dir_ / "dat/avvdat-101-files", 0}, {"DATVersion", false, "", 101}});
    const auto names_101 = [&] {
        return key.ReadRequiredString("DATPath") == dir_ / "dat/avvdat-101-files" &&
               key.ReadRequiredDword("DATVersion") == 101;
    };
    const std::string folder = dir_ / "empty-site";
    EXPECT_EQ(1, calls.SetDatFolderSource(std::u16string(folder.begin(), folder.end())));
    EXPECT_TRUE(names_101()) << "the settings change wrote the service's old record";
    EXPECT_EQ(dir_ / "empty-site", key.ReadRequiredString("LocalDirectory"));
    calls.RunPass();  // fails: the site offers nothing
    EXPECT_TRUE(names_101()) << "the failed pass wrote the service's old record";

    service.Kill(SIGTERM);
    EXPECT_EQ(0, service.Wait());
}

// The service at the console: it starts, runs a pass when asked, and Ctrl+C
// ends it with status 0, every log line on its standard output.
TEST_F(UpdaterProgramTest, DebugRunsAtTheConsoleUntilCtrlC) {
    OfferNoNewerEngine(dir_ / "engine-site");
    std::filesystem::create_directories(dir_ / "empty-site");
    RegistryKey key;
    key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
    key.WriteDword("DATSource", 2);
    key.WriteString("LocalDirectory", dir_ / "empty-site");
    SpawnedProcess service({VEXOR_UPDATER_PROGRAM, "-debug"});
    EXPECT_EQ(0u, service.ReadLine().rfind("Debugging Tessel Vexor Upda", 0));
    // The socket file appears when it is bound, a moment before it listens:
    // wait until it takes a connection.
    ASSERT_TRUE(WaitUntil([] {
        const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = RpcEndpointPath("VexorfTUpdater_RPC64");
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        const bool listening = ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(socket);
        return listening;
    }));
    ServiceCalls calls;
    calls.RunPass();
    service.Kill(SIGINT);
    std::string output;
    EXPECT_EQ(0, service.Wait(&output));
    EXPECT_NE(std::string::npos, output.find("******* Performing update *******")) << output;
    EXPECT_NE(std::string::npos, output.find("Stopping ")) << output;
}

// An administrator deletes the store and writes a new one while the service
// runs: the service's next pass reads and records into the new file.
TEST_F(UpdaterProgramTest, AStoreReplacedUnderTheRunningServiceIsReopened) {
    OfferNoNewerEngine(dir_ / "engine-site");
    NotifyReceiver systemd(dir_ / "notify");
    ScopedEnv notify("NOTIFY_SOCKET", dir_ / "notify");
    SpawnedProcess service({VEXOR_UPDATER_PROGRAM});
    ASSERT_NE(std::string::npos, systemd.Until("READY=1").find("READY=1"));
    ServiceCalls calls;
    // Replaced while the service is idle, after it has written its idle
    // status (just after it is ready, later on a loaded machine): SQLite
    // cannot make a file deleted in the middle of another process's write
    // safe for anyone.
    ASSERT_TRUE(WaitUntil([] {
        RegistryKey old_store;
        old_store.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
        std::string status;
        old_store.ReadString("StatusDescript", "", &status);
        return status == "Idle";
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::filesystem::remove(dir_ / "var/lib/vexor/registry.db");
    std::filesystem::create_directories(dir_ / "empty-site");
    OfferNoNewerEngine(dir_ / "engine-site");  // the new store's settings
    RegistryKey key;
    key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
    key.WriteDword("DATSource", 2);
    key.WriteString("LocalDirectory", dir_ / "empty-site");
    calls.RunPass();
    uint64_t last_check = 0;
    key.ReadQword("LastCheckTime", 0, &last_check);
    EXPECT_NE(0u, last_check) << "the pass was recorded into the deleted file";
    std::string result;
    key.ReadString("LastCheckResult", "", &result);
    EXPECT_EQ(std::string::npos, result.find("Access is denied")) << result;

    service.Kill(SIGTERM);
    EXPECT_EQ(0, service.Wait());
}

}  // namespace
}  // namespace TesselSoftware
