// The network-share source: share roots, mounted shares, and a real smbd
// (connections counted in its log, refused logins, no guest fallback), up
// to "VexorDatUpdater -once" installing from a published site on a share.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "Common/Errors/ExceptionBase.h"
#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "SitePublisher.h"
#include "TestServers.h"
#include "TestSupport.h"
#include "UpdaterTestSupport.h"
#include "core/UpdateProgress.h"
#include "core/UpdaterSettings.h"
#include "sources/DownloaderUNC.h"
#include "sources/NetworkShareConnection.h"

namespace TesselSoftware {
namespace {

namespace fs = std::filesystem;
using Testing::ReadFile;
using Testing::WriteFile;

constexpr char kPassword[] = "pa55word";

std::string ErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const ExceptionBase& e) {
        return e.Message();
    }
    return "no error";
}

TEST(ShareRoot, FromTheBaseLocation) {
    const struct {
        const char* base;
        const char* root;
    } cases[] = {
        {"//fileserver/updates/dat", "\\\\fileserver\\updates"},
        {"\\\\fileserver\\updates\\dat\\sub", "\\\\fileserver\\updates"},
        {"\\\\fileserver\\updates", "\\\\fileserver\\updates"},
        {"\\\\fileserver", "\\\\fileserver"},
        {"\\\\fileserver\\", "\\\\fileserver\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.base);
        EXPECT_EQ(c.root, NetworkShareConnection::ShareRoot(c.base));
    }
    EXPECT_EQ("Error connecting to network share - \"C:\\Updates\". Name must start with \"\\\\\".\r\n",
              ErrorOf([] { NetworkShareConnection::ShareRoot("C:\\Updates"); }));
    EXPECT_NE("no error",
              ErrorOf([] { NetworkShareConnection::ShareRoot("\\\\server\\" + std::string(300, 's')); }));
}

TEST(ShareMount, AMountOfTheRootIsFoundIgnoringCase) {
    Testing::ScratchDir dir;
    WriteFile(dir / "mountinfo",
              "22 1 0:21 / /proc rw - proc proc rw\n"
              // A bind mount of a folder of the share is not the share root.
              "39 1 0:42 /dat /srv/bound rw - cifs //fileserver/updates rw\n"
              "40 1 0:40 / /mnt/sub rw - cifs //fileserver/updates/dat rw\n"
              "41 1 0:41 / /mnt/other rw - nfs //fileserver/updates rw\n"
              "42 1 0:42 / /mnt/up\\040dates rw,relatime shared:5 - cifs //FileServer/Updates rw\n");
    EXPECT_EQ("/mnt/up dates", FindShareMount("\\\\fileserver\\updates", dir / "mountinfo"));
    EXPECT_EQ("", FindShareMount("\\\\fileserver\\other", dir / "mountinfo"));
    EXPECT_EQ("", FindShareMount("\\\\fileserver", dir / "mountinfo"));
}

// A share the machine has mounted is read as a local folder: nothing is
// connected (the server name here does not even exist).
TEST(ShareMount, AMountedShareIsUsedWithoutConnecting) {
    Testing::ScratchDir dir;
    WriteFile(dir / "mnt/dat/oem.ini", "[AVV-ZIP]\r\nDATVersion=9\r\n");
    WriteFile(dir / "mountinfo", "42 1 0:42 / " + dir / "mnt" + " rw - cifs //NoSuchServer/Updates rw\n");
    NetworkShareConnection::SetMountInfoForTesting(dir / "mountinfo");
    SourceSettings settings("");
    settings.SetShareDirectory("\\\\nosuchserver\\updates\\dat");
    CDownloaderUNC downloader(&settings);
    EXPECT_TRUE(downloader.Download("oem.ini", dir / "got.ini")) << downloader.LastError();
    EXPECT_EQ("[AVV-ZIP]\r\nDATVersion=9\r\n", ReadFile(dir / "got.ini"));
    std::vector<std::string> names;
    EXPECT_TRUE(downloader.ListFiles("oem\\..*", &names));
    EXPECT_EQ(std::vector<std::string>{"oem.ini"}, names);
    NetworkShareConnection::SetMountInfoForTesting("/proc/self/mountinfo");
}

TEST(ShareConnectionText, FollowsTheTables) {
    EXPECT_EQ("The specified password is invalid.", ShareConnectionErrorText(86));
    EXPECT_EQ("Unknown or invalid network share name.", ShareConnectionErrorText(1203));
    EXPECT_EQ("Error connecting to network share.", ShareConnectionErrorText(1208));
    EXPECT_EQ("Cannot disconnect because there are open files.", ShareDisconnectionErrorText(2401));
    EXPECT_EQ("Error disconnecting from network share.\r\n", ShareDisconnectionErrorText(1));
}

// One smbd for the program (CTest runs these programs one at a time).
class SmbTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new Testing::ScratchDir();
        ::chmod(dir_->path().c_str(), 0755);
        fs::create_directories(dir_->path() + "/share/dat");
        fs::create_directories(dir_->path() + "/guest");
        WriteFile(dir_->path() + "/guest/g.txt", "guest file");
        server_ = new Testing::SmbServer(dir_->path() + "/smbd", dir_->path() + "/share",
                                         dir_->path() + "/guest", kPassword);
    }
    static void TearDownTestSuite() {
        delete server_;
        delete dir_;
    }
    void SetUp() override {
        if (!server_->available()) GTEST_SKIP() << server_->why_not();
    }

    // A downloader for base with the share account.
    std::unique_ptr<CDownloaderUNC> Downloader(const std::string& base, const std::string& user = "nobody",
                                               const std::string& password = kPassword) {
        settings_.SetShareDirectory(base);
        settings_.SetShareUserName(user);
        settings_.SetSharePassword(password);
        return std::make_unique<CDownloaderUNC>(&settings_);
    }
    std::string Share(const std::string& path) const { return dir_->path() + "/share/" + path; }
    std::string Local(const std::string& name) const { return dir_->path() + "/local-" + name; }

    static Testing::ScratchDir* dir_;
    static Testing::SmbServer* server_;
    SourceSettings settings_{""};
};

Testing::ScratchDir* SmbTest::dir_ = nullptr;
Testing::SmbServer* SmbTest::server_ = nullptr;

TEST_F(SmbTest, DownloadAndListConnectAndDisconnectEachTime) {
    WriteFile(Share("dat/oem.ini"), "[AVV-ZIP]\r\nDATVersion=5\r\n");
    WriteFile(Share("dat/avvdat-5.zip"), "zip");
    auto downloader = Downloader("//127.0.0.1/updates/dat");
    const int before = server_->Connections();
    EXPECT_TRUE(downloader->Download("oem.ini", Local("oem.ini"))) << downloader->LastError();
    EXPECT_TRUE(downloader->Download("oem.ini", Local("oem.ini"))) << downloader->LastError();
    EXPECT_EQ("[AVV-ZIP]\r\nDATVersion=5\r\n", ReadFile(Local("oem.ini")));
    EXPECT_EQ(before + 2, server_->Connections());
    std::vector<std::string> names;
    EXPECT_TRUE(downloader->ListFiles("avvdat-.*", &names));
    EXPECT_EQ(std::vector<std::string>{"avvdat-5.zip"}, names);  // no "." or ".."
    EXPECT_FALSE(downloader->Download("missing.ini", Local("missing.ini")));
    EXPECT_FALSE(Testing::Exists(Local("missing.ini")));
}

// Every path component is escaped: "%", "#", "+" and spaces reach the
// server as themselves, and a "?" (which SMB forbids in names) is refused
// rather than read as the start of URL options.
TEST_F(SmbTest, NamesCopyTheirOwnBytes) {
    for (const std::string& name : std::vector<std::string>{"50% off.ini", "#1 + &.ini", "two  spaces.ini"}) {
        SCOPED_TRACE(name);
        WriteFile(Share("dat/" + name), "content of " + name);
        auto downloader = Downloader("\\\\127.0.0.1\\updates\\dat");
        EXPECT_TRUE(downloader->Download(name, Local("named"))) << downloader->LastError();
        EXPECT_EQ("content of " + name, ReadFile(Local("named")));
    }
    WriteFile(Share("dat/why"), "not this one");
    auto downloader = Downloader("\\\\127.0.0.1\\updates\\dat");
    EXPECT_FALSE(downloader->Download("why?.ini", Local("why")));
    EXPECT_FALSE(Testing::Exists(Local("why")));
}

TEST_F(SmbTest, RefusedConnectionsThrowTheirText) {
    const struct {
        const char* name;
        std::string base;
        std::string user;
        std::string password;
        std::string error;
    } cases[] = {
        {"wrong password", "\\\\127.0.0.1\\updates\\dat", "nobody", "wrong",
         "Error connecting to network share - The specified password is invalid.\r\n"},
        {"guest share, wrong password: no guest fallback", "\\\\127.0.0.1\\guest", "nobody", "wrong",
         "Error connecting to network share - The specified password is invalid.\r\n"},
        {"unknown share", "\\\\127.0.0.1\\nosuch", "nobody", kPassword,
         "Error connecting to network share - Unknown or invalid network share name.\r\n"},
        {"unreachable server", "\\\\127.0.0.2\\updates", "nobody", kPassword,
         "Error connecting to network share - 10061"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto downloader = Downloader(c.base, c.user, c.password);
        const std::string error = ErrorOf([&] { downloader->Download("g.txt", Local("x")); });
        EXPECT_TRUE(error.starts_with(c.error)) << error;
        EXPECT_EQ(std::string::npos, error.find(c.password)) << error;
    }
    // Without an account, the guest share is open.
    auto guest = Downloader("\\\\127.0.0.1\\guest", "", "");
    EXPECT_TRUE(guest->Download("g.txt", Local("g.txt"))) << guest->LastError();
}

// With the publisher's key trusted: a signed engine release and a signed
// site on the share install, the engine and a full set first, then an
// incremental set (each ".minisig" read from the same share), and a release
// signed by another key is refused with the set left as it was.
TEST_F(SmbTest, OnceInstallsSignedFullThenIncrementalFromAShare) {
    const std::string site = Share("site");
    std::string error;
    const VexorPublisher::Date date{2026, 12, 1};
    ASSERT_TRUE(VexorPublisher::WriteSite(ReadFile(VEXOR_SAMPLE_SIGNATURES), 1, 1, 0, date, {}, site, &error))
        << error;
    Testing::ScopedEnv root("VEXOR_SYSTEM_ROOT", dir_->path() + "/system");
    fs::create_directories(dir_->path() + "/system/opt/vexor");
    fs::create_symlink("/usr/bin/7za", dir_->path() + "/system/opt/vexor/7za");
    {
        UpdaterSettings settings;
        settings.Load();
        settings.SetDATFolder(dir_->path() + "/system/dat");
        settings.SetDATSource(NetworkShare);
        settings.DatSourceSettings().SetShareDirectory("\\\\127.0.0.1\\updates\\site");
        settings.DatSourceSettings().SetShareUserName("WORKGROUP\\nobody");
        settings.DatSourceSettings().SetSharePassword(kPassword);
        settings.Save(SaveScope::Everything);
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
        key.WriteString("InstallPath", dir_->path() + "/system/opt/vexor/");
        key.WriteString("EnginePath", fs::path(VEXOR_ENGINE_LIBRARY).parent_path().string() + "/");
        key.WriteString("LogPath", dir_->path() + "/system/log");
        // The engine comes from the share too.
        ASSERT_TRUE(VexorPublisher::WriteEngineRelease({"9.1.0.1", "current", "", VEXOR_ENGINE_LIBRARY, date}, {},
                                                       Share("engine"), &error))
            << error;
        key.WriteDword("EngineUpdateSource", NetworkShare);
        key.WriteString("EngineUpdateUNCDirectory", "\\\\127.0.0.1\\updates\\engine");
    }
    {
        UpdaterSettings settings;
        settings.Load();
        settings.EngineSourceSettings().SetShareUserName("WORKGROUP\\nobody");
        settings.EngineSourceSettings().SetSharePassword(kPassword);
        settings.Save(SaveScope::Everything);
    }
    for (const std::string who : {"publisher", "stranger"}) {
        ASSERT_TRUE(VexorPublisher::WriteKeyPair(dir_->path() + "/" + who, &error)) << error;
    }
    const auto sign = [&](const char* who) {
        const std::string key = dir_->path() + "/" + who + "/vexor-publisher.key";
        ASSERT_TRUE(VexorPublisher::SignTree(site, key, &error)) << error;
        ASSERT_TRUE(VexorPublisher::SignTree(Share("engine"), key, &error)) << error;
    };
    Testing::WriteFile(dir_->path() + "/system/etc/vexor/trusted-keys/publisher.pub",
                       ReadFile(dir_->path() + "/publisher/vexor-publisher.pub"));
    sign("publisher");
    const auto run_once = [](std::string* output) {
        Testing::SpawnedProcess run({VEXOR_UPDATER_PROGRAM, "-once"});
        return run.Wait(output);
    };
    std::string output;
    EXPECT_EQ(0, run_once(&output)) << output;
    {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
        EXPECT_EQ(dir_->path() + "/system/opt/vexor/Engine/9.1.0.1", key.ReadRequiredString("EnginePath"));
    }
    ASSERT_TRUE(VexorPublisher::WriteSite(ReadFile(VEXOR_SAMPLE_SIGNATURES), 1, 2, 1, date, {}, site, &error))
        << error;
    sign("publisher");
    EXPECT_EQ(0, run_once(&output)) << output;
    EXPECT_NE(std::string::npos, output.find("Asking Vexor to update DAT files.")) << output;
    EXPECT_EQ(std::string::npos, output.find(kPassword));
    RegistryKey key;
    key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
    EXPECT_EQ(2u, key.ReadRequiredDword("DATVersion"));
    const std::string published = dir_->path() + "/published-2";
    ASSERT_TRUE(VexorPublisher::WriteDatSet(ReadFile(VEXOR_SAMPLE_SIGNATURES), 2, date, published, &error));
    EXPECT_EQ(ReadFile(published + "/avvscan.dat"), ReadFile(key.ReadRequiredString("DATPath") + "/avvscan.dat"));

    ASSERT_TRUE(VexorPublisher::WriteSite(ReadFile(VEXOR_SAMPLE_SIGNATURES), 1, 3, 2, date, {}, site, &error))
        << error;
    ASSERT_TRUE(VexorPublisher::SignTree(site, dir_->path() + "/stranger/vexor-publisher.key", &error)) << error;
    EXPECT_EQ(1, run_once(&output)) << output;
    EXPECT_NE(std::string::npos, key.ReadRequiredString("LastCheckResult").find("was made by an untrusted key"))
        << key.ReadRequiredString("LastCheckResult");
    EXPECT_EQ(2u, key.ReadRequiredDword("DATVersion"));
}

}  // namespace
}  // namespace TesselSoftware
