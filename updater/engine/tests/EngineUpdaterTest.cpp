// The engine pass against engine releases built by the publisher: the real
// engine stamped with other versions, and stand-ins that refuse to start or
// crash. A real DAT set is configured, so every new engine is started on it.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>

#include <ctime>
#include <filesystem>
#include <map>
#include <random>
#include <stdexcept>
#include <thread>

#include "Common/Errors/ExceptionBase.h"
#include "Common/Platform/FileVersion.h"
#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "SitePublisher.h"
#include "TSVexor/Scanner.h"
#include "TestSupport.h"
#include "UpdaterTestSupport.h"
#include "core/UpdaterCore.h"
#include "dat/ArchiveTools.h"
#include "dat/EngineStartCheck.h"
#include "engine/EngineVersionNumber.h"
#include "sources/DownloaderFS.h"
#include "sources/CatalogueFreshness.h"
#include "sources/SiteFallback.h"
#include "sources/TrustedKeys.h"

namespace TesselSoftware {
namespace {

namespace fs = std::filesystem;
using Testing::ReadFile;
using Testing::WriteFile;

constexpr VexorPublisher::Date kDate{2026, 12, 1};
const std::string kRealEngine = VEXOR_ENGINE_LIBRARY;

// A scratch system root with an installed engine of a given version, a
// configured DAT set of the sample signatures and a local engine source.
class EngineScenario {
public:
    explicit EngineScenario(const std::string& installed = "6.0.4.1200")
        : root_env_("VEXOR_SYSTEM_ROOT", dir_.path()) {
        RegisterFolderDownloader();
        SetEngineCheckProgramForTesting(VEXOR_ENGINE_CHECK);
        fs::create_directories(dir_ / "opt/vexor/Engine");
        fs::create_symlink("/usr/bin/7za", dir_ / "opt/vexor/7za");
        fs::create_directories(site());
        RegistryKey key;
        key.Create(RegistryRoot::kLocalMachine, kProductKeyPath);
        key.WriteString("InstallPath", dir_ / "opt/vexor/");
        key.WriteDword("EngineUpdateSource", LocalFolder);
        key.WriteString("EngineUpdateFSDirectory", site());
        key.WriteString("EngineHash", "installed-hash");
        if (!installed.empty()) {
            const std::string folder = Engine(installed);
            fs::create_directories(folder);
            fs::copy_file(kRealEngine, folder + "/mscan64a.so");
            EngineVersionNumber v;
            ParseEngineVersion(installed, &v);
            WriteFileVersion(folder + "/mscan64a.so",
                             FileVersion{static_cast<uint16_t>(v.major), static_cast<uint16_t>(v.minor),
                                         static_cast<uint16_t>(v.build), static_cast<uint16_t>(v.revision)});
            key.WriteString("EnginePath", folder);
        }
        std::string error;
        EXPECT_TRUE(VexorPublisher::WriteDatSet(ReadFile(VEXOR_SAMPLE_SIGNATURES), 7, kDate,
                                                dir_ / "dat/avvdat-7-files", &error))
            << error;
        key.WriteString("DATFolder", dir_ / "dat");
        key.WriteString("DATPath", dir_ / "dat/avvdat-7-files");
        key.WriteDword("DATVersion", 7);
        core_.Load();
    }

    std::string site() const { return dir_ / "engine-site"; }
    std::string Engine(const std::string& version) const { return dir_ / ("opt/vexor/Engine/" + version); }

    // Publishes a release of library as version in the folder engine_dir.
    void Publish(const std::string& version, const std::string& library = kRealEngine,
                 const std::string& engine_dir = "current") {
        std::string error;
        ASSERT_TRUE(VexorPublisher::WriteEngineRelease({version, engine_dir, "", library, kDate}, {}, site(),
                                                       &error))
            << error;
    }
    std::string UpdateIni() const { return site() + "/current/EngineUpdate.ini"; }

    // "installed", "current" or the failure text.
    std::string Pass() {
        try {
            return core_.GetEngineUpdater().RunEngineUpdate() ? "installed" : "current";
        } catch (const ExceptionBase& e) {
            return e.Message();
        }
    }
    std::string Value(const char* name) {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
        return key.ReadRequiredString(name);
    }
    std::vector<std::string> EngineFolders() const { return Testing::SortedNames(dir_ / "opt/vexor/Engine"); }

    Testing::ScratchDir dir_;
    Testing::ScopedEnv root_env_;
    Testing::RecordingLog log_;
    UpdaterCore core_{log_};
};

class EngineUpdaterTest : public ::testing::Test, public EngineScenario {};

TEST(EngineVersionNumber, ParsesStrictlyAndComparesByNumber) {
    const struct {
        const char* text;
        const char* parsed;  // "" when it does not parse
    } cases[] = {
        {"6.0.4.1200", "6.0.4.1200"},  {"06.00.05.0100", "6.0.5.100"}, {"1.2.3.4.extra", "1.2.3.4"},
        {"6.0.4", ""},                 {"6.0.4.", ""},                  {"6..4.1", ""},
        {"1.2.3.1234567890", ""},      {"1.2.3.4x", ""},               {"Unknown", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EngineVersionNumber version;
        EXPECT_EQ(*c.parsed != '\0', ParseEngineVersion(c.text, &version));
        EXPECT_EQ(c.parsed, version.text);
    }
    EngineVersionNumber a, b;
    ParseEngineVersion("6.0.10.1", &a);
    ParseEngineVersion("6.0.9.999", &b);
    EXPECT_GT(a, b);
    EXPECT_EQ("default.asp?version=6.1.2.1564&engine=6.0.4.1200&bits=64", EngineVersionRequest(0, "6.0.4.1200"));
    EXPECT_EQ("EngineVersion.ini", EngineVersionRequest(2, "6.0.4.1200"));
}

TEST_F(EngineUpdaterTest, TheSameVersionChangesNothing) {
    Publish("6.0.4.1200");
    EXPECT_EQ("current", Pass());
    EXPECT_EQ((std::vector<std::string>{"6.0.4.1200", "~EngineVersion.ini"}), EngineFolders());
    EXPECT_EQ("Finished Engine file check", core_.GetMessageHistory().back().text);
    EXPECT_EQ(Engine("6.0.4.1200"), Value("EnginePath"));
}

TEST_F(EngineUpdaterTest, ANewerVersionIsInstalledAndRecordedTogether) {
    const struct {
        const char* installed;
        const char* offered;
        const char* folder;
    } cases[] = {
        {"6.0.9.999", "6.0.10.1", "6.0.10.1"},       // by number, not by text
        {"6.0.4.1200", "06.00.05.0100", "6.0.5.100"},  // written without leading zeros
        {"", "6.0.5.0", "6.0.5.0"},                  // nothing readable installed
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offered);
        EngineScenario t(c.installed);
        t.Publish(c.offered);
        EXPECT_EQ("installed", t.Pass());
        EXPECT_EQ(t.Engine(c.folder), t.Value("EnginePath"));
        const std::string md5 = ReadFile(t.UpdateIni()).substr(ReadFile(t.UpdateIni()).find("MD5=") + 4, 32);
        EXPECT_EQ(md5, t.Value("EngineHash"));
        EXPECT_TRUE(t.log_.Contains("Updating to engine version " + std::string(c.folder)) ||
                    [&] {
                        for (const auto& m : t.core_.GetMessageHistory()) {
                            if (m.text == "Updating to engine version " + std::string(c.folder)) return true;
                        }
                        return false;
                    }());
        EXPECT_TRUE(Testing::Exists(t.Engine(c.folder) + "/mscan64a.so"));
        EXPECT_FALSE(Testing::Exists(t.dir_ / ("opt/vexor/Engine/~" + std::string(c.folder))));
    }
}

TEST_F(EngineUpdaterTest, EveryFailureTextOfThePass) {
    const struct {
        const char* name;
        std::function<void(EngineScenario&)> arrange;
        std::string error;  // the start of the failure text; SITE is the source's folder
    } cases[] = {
        {"no answer", [](EngineScenario&) {}, "Failed to get EngineVersion.ini from 'SITE/EngineVersion.ini'.  Error "},
        {"no EngineDir",
         [](EngineScenario& t) { WriteFile(t.site() + "/EngineVersion.ini", "[EngineUpdate]\r\nOther=1\r\n"); },
         "EngineVersion.ini file didn't have version entry"},
        {"no update description",
         [](EngineScenario& t) { WriteFile(t.site() + "/EngineVersion.ini", "[EngineUpdate]\r\nEngineDir=gone\r\n"); },
         "Failed to download UpdateFrom-6.0.4.1200\\EngineUpdate.ini from 'SITE/gone/EngineUpdate.ini'.  Error "},
        {"no MD5 key",
         [](EngineScenario& t) {
             t.Publish("6.0.5.0");
             WriteFile(t.UpdateIni(), "[EngineUpdate]\r\nEngineVersion=6.0.5.0\r\nArchiveName=a.zip\r\n");
         },
         "EngineUpdate.ini file didn't have version entry"},
        {"bad version",
         [](EngineScenario& t) {
             t.Publish("6.0.5.0");
             WriteFile(t.UpdateIni(), "[EngineUpdate]\r\nEngineVersion=6.0.5\r\nArchiveName=a.zip\r\nMD5=\r\n");
         },
         "EngineUpdate.ini version info is incorrect"},
        {"missing archive",
         [](EngineScenario& t) {
             t.Publish("6.0.5.0");
             fs::remove(t.site() + "/current/mscan64a-6.0.5.0.zip");
         },
         "Failed to download the archive file 'SITE/current/mscan64a-6.0.5.0.zip'. Error: "},
        {"archive MD5",
         [](EngineScenario& t) {
             t.Publish("6.0.5.0");
             WriteFile(t.site() + "/current/mscan64a-6.0.5.0.zip", "spoiled");
         },
         "Engine file \"mscan64a-6.0.5.0.zip\" failed MD5 sum check."},
        {"unsafe folder name",
         [](EngineScenario& t) {
             WriteFile(t.site() + "/EngineVersion.ini", "[EngineUpdate]\r\nEngineDir=../outside\r\n");
         },
         "The engine update source gave an unusable engine folder name \"../outside\"."},
        {"unsafe archive name",
         [](EngineScenario& t) {
             t.Publish("6.0.5.0");
             WriteFile(t.UpdateIni(), "[EngineUpdate]\r\nEngineVersion=6.0.5.0\r\nArchiveName=a\" b.zip\r\nMD5=\r\n");
         },
         "The engine update source gave an unusable archive name \"a\" b.zip\"."},
        {"engine that refuses to start",
         [](EngineScenario& t) { t.Publish("6.0.5.0", std::string(VEXOR_FAKE_ENGINES) + "/mode4/mscan64a.so"); },
         "The new engine 6.0.5.0 was not installed: the engine refused the set: AVInitialise returned 4."},
        {"engine that crashes",
         [](EngineScenario& t) { t.Publish("6.0.5.0", std::string(VEXOR_FAKE_ENGINES) + "/mode5/mscan64a.so"); },
         "The new engine 6.0.5.0 was not installed: the engine crashed (signal"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EngineScenario t;
        c.arrange(t);
        const std::string error = t.Pass();
        std::string expected = c.error;
        if (const size_t at = expected.find("SITE"); at != std::string::npos) expected.replace(at, 4, t.site());
        EXPECT_TRUE(error.starts_with(expected)) << error;
        EXPECT_EQ(t.Engine("6.0.4.1200"), t.Value("EnginePath"));
        EXPECT_EQ("installed-hash", t.Value("EngineHash"));
        EXPECT_EQ(std::vector<std::string>{"6.0.4.1200"}, t.EngineFolders());
        EXPECT_FALSE(Testing::Exists(t.dir_ / "opt/vexor/outside"));
    }
}

TEST_F(EngineUpdaterTest, AnEmptyPublishedMd5StoresTheArchivesOwn) {
    Publish("6.0.5.0");
    const std::string text = ReadFile(UpdateIni());
    const std::string md5 = text.substr(text.find("MD5=") + 4, 32);
    WriteFile(UpdateIni(), "[EngineUpdate]\r\nEngineVersion=6.0.5.0\r\nArchiveName=mscan64a-6.0.5.0.zip\r\nMD5=\r\n");
    EXPECT_EQ("installed", Pass());
    EXPECT_EQ(md5, Value("EngineHash"));
}

// A new engine that will not start is never configured: the gateway's
// plug-in goes on scanning with the engine it has.
TEST_F(EngineUpdaterTest, ARefusedEngineLeavesThePluginScanning) {
    Publish("6.0.5.0", std::string(VEXOR_FAKE_ENGINES) + "/mode4/mscan64a.so");
    EXPECT_NE("installed", Pass());
    WriteFile(dir_ / "eicar.com", R"(X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*)");
    void* library = ::dlopen(VEXOR_PLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, library) << ::dlerror();
    const auto create = reinterpret_cast<CreateScannerInterfaceFn>(::dlsym(library, "CreateScannerInterface"));
    IScanner* scanner = create(kScannerInterfaceVersion);
    ASSERT_NE(nullptr, scanner);
    ScannerOptions options{};
    ScannerInfo info{};
    ScannerText error{}, virus{}, message{};
    EXPECT_EQ(kInitReady, scanner->Initialise(&options, &info, &error)) << (error.text ? error.text : "");
    EXPECT_STREQ("6.0", info.engine_version.text);
    EXPECT_EQ(kScanInfected, scanner->ScanFile((dir_ / "eicar.com").c_str(), &virus, &message));
    EXPECT_STREQ("EICAR-Test-File", virus.text);
    scanner->Uninitialise();
    scanner->Release();
    for (ScannerText* text : {&info.product_name, &info.vendor_name, &info.vendor_address, &info.unused,
                              &info.dat_folder, &info.engine_version, &info.dat_version, &error, &virus,
                              &message}) {
        std::free(text->text);
    }
    ::dlclose(library);
}

// A pass stopped after its rename, before its record: the next pass
// removes the unconfigured folder and installs again.
TEST_F(EngineUpdaterTest, AStopBetweenRenameAndRecordIsRecoveredByTheNextPass) {
    Publish("6.0.5.0");
    core_.GetEngineUpdater().SetStepHookForTesting([](std::string_view step) {
        if (step == "switched") throw std::runtime_error("stopped");
    });
    EXPECT_THROW(core_.GetEngineUpdater().RunEngineUpdate(), std::runtime_error);
    EXPECT_EQ(Engine("6.0.4.1200"), Value("EnginePath"));
    EXPECT_TRUE(Testing::Exists(Engine("6.0.5.0")));
    core_.GetEngineUpdater().SetStepHookForTesting(nullptr);
    EXPECT_EQ("installed", Pass());
    EXPECT_EQ(Engine("6.0.5.0"), Value("EnginePath"));
}

// A release that names 7.0.0.0 for a library stamped 6.2.0.0 would be
// "newer" again on every pass: it is refused before any rename, and later
// passes skip it (so the DAT update that follows the engine pass goes on).
TEST_F(EngineUpdaterTest, AMislabelledReleaseIsRefusedOnceThenSkipped) {
    Publish("6.2.0.0");
    std::string update = ReadFile(UpdateIni());
    update.replace(update.find("EngineVersion=6.2.0.0"), 21, "EngineVersion=7.0.0.0");
    WriteFile(UpdateIni(), update);
    EXPECT_EQ("The engine release 7.0.0.0 was not installed: its library is stamped 6.2.0.0.", Pass());
    EXPECT_EQ(Engine("6.0.4.1200"), Value("EnginePath"));
    EXPECT_EQ((std::vector<std::string>{"6.0.4.1200"}), EngineFolders());
    EXPECT_EQ("current", Pass());
    EXPECT_EQ(Engine("6.0.4.1200"), Value("EnginePath"));
    // A corrected release is installed as usual.
    Publish("7.0.0.0");
    EXPECT_EQ("installed", Pass());
    EXPECT_EQ(Engine("7.0.0.0"), Value("EnginePath"));
}

// A folder of the offered version that is already the configured engine
// (left by an older version of this program) is not a rename failure.
TEST_F(EngineUpdaterTest, AnOfferedVersionThatIsTheConfiguredEngineIsAlreadyInstalled) {
    Publish("6.0.5.0");
    EXPECT_EQ("installed", Pass());
    {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
        key.WriteString("EnginePath", Engine("6.0.5.0"));
    }
    WriteFileVersion(Engine("6.0.5.0") + "/mscan64a.so", FileVersion{6, 0, 4, 0});  // reads as older
    EXPECT_EQ("current", Pass());
    EXPECT_EQ(Engine("6.0.5.0"), Value("EnginePath"));
    EXPECT_FALSE(Testing::Exists(dir_ / "opt/vexor/Engine/~6.0.5.0"));
}

// An engine archive that unpacks past the limit is refused before a byte
// of it is written, as a DAT archive is.
TEST_F(EngineUpdaterTest, AnArchiveThatUnpacksPastTheLimitWritesNothing) {
    Publish("6.0.5.0");
    // The archive itself passes the limit; its contents do not.
    const uint64_t limit = fs::file_size(site() + "/current/mscan64a-6.0.5.0.zip") + 1;
    SetMaxUpdateFileBytesForTesting(limit);
    const std::string result = Pass();
    SetMaxUpdateFileBytesForTesting(kMaxUpdateFileBytes);
    EXPECT_NE(std::string::npos, result.find("bytes, more than the limit of " + std::to_string(limit) + " bytes."))
        << result;
    EXPECT_EQ((std::vector<std::string>{"6.0.4.1200"}), EngineFolders());
    EXPECT_EQ(Engine("6.0.4.1200"), Value("EnginePath"));
}

// A failure that is not the updater's own exception type (the transfer
// client's runtime errors) is still recorded and cleaned up after.
TEST_F(EngineUpdaterTest, AForeignFailureIsRecordedAndCleanedUpAfter) {
    Publish("6.0.5.0");
    struct Throwing final : CDownloaderFS {
        using CDownloaderFS::CDownloaderFS;
        bool DownloadFile(const std::string& remote_name, const std::string& local_path) override {
            if (remote_name.ends_with(".zip")) throw std::runtime_error("Libcurl not initialised");
            return CDownloaderFS::DownloadFile(remote_name, local_path);
        }
    };
    RegisterDownloader(LocalFolder, [](SourceSettings* settings) { return std::make_shared<Throwing>(settings, LocalFolder); });
    EXPECT_THROW(core_.GetEngineUpdater().RunEngineUpdate(), std::runtime_error);
    RegisterFolderDownloader();
    EXPECT_NE(std::string::npos, core_.LastCheckResult().find("Libcurl not initialised")) << core_.LastCheckResult();
    EXPECT_EQ((std::vector<std::string>{"6.0.4.1200"}), EngineFolders());
    EXPECT_EQ(Engine("6.0.4.1200"), Value("EnginePath"));
}

// With the publisher's key trusted, a signed engine release installs; one
// whose archive was replaced after signing is refused before it is unpacked.
TEST_F(EngineUpdaterTest, ASignedReleaseInstallsAndAReplacedArchiveIsRefused) {
    std::string error;
    ASSERT_TRUE(VexorPublisher::WriteKeyPair(dir_ / "keys", &error)) << error;
    WriteFile(dir_ / "etc/vexor/trusted-keys/publisher.pub", ReadFile(dir_ / "keys/vexor-publisher.pub"));
    std::string failure;
    ASSERT_TRUE(core_.UseTrustedKeys(&failure)) << failure;
    Publish("6.0.5.0");
    ASSERT_TRUE(VexorPublisher::SignTree(site(), dir_ / "keys/vexor-publisher.key", &error)) << error;
    EXPECT_EQ("installed", Pass());
    EXPECT_EQ(Engine("6.0.5.0"), Value("EnginePath"));

    Publish("6.0.6.0");
    ASSERT_TRUE(VexorPublisher::SignTree(site(), dir_ / "keys/vexor-publisher.key", &error)) << error;
    const std::string archive = site() + "/current/mscan64a-6.0.6.0.zip";
    WriteFile(archive, ReadFile(archive) + "x");
    EXPECT_EQ("The signature of 'mscan64a-6.0.6.0.zip' does not match", Pass());
    SetRequiredSigners(nullptr);
    EXPECT_EQ(Engine("6.0.5.0"), Value("EnginePath"));
    EXPECT_FALSE(Testing::Exists(Engine("6.0.6.0")));
}

// The engine site's catalogues carry signed times as the DAT site's do: an
// older copy than one accepted, or an expired one, is refused and the
// installed engine stays.
TEST_F(EngineUpdaterTest, AReplayedOrExpiredEngineCatalogueIsRefused) {
    std::string error;
    ASSERT_TRUE(VexorPublisher::WriteKeyPair(dir_ / "keys", &error)) << error;
    WriteFile(dir_ / "etc/vexor/trusted-keys/publisher.pub", ReadFile(dir_ / "keys/vexor-publisher.pub"));
    std::string failure;
    ASSERT_TRUE(core_.UseTrustedKeys(&failure)) << failure;
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    const auto sign_at = [&](int64_t signed_at, int64_t expires_seconds) {
        VexorPublisher::SignOptions options;
        options.now = signed_at;
        options.expires_seconds = expires_seconds;
        ASSERT_TRUE(VexorPublisher::SignTree(site(), dir_ / "keys/vexor-publisher.key", &error, options)) << error;
    };
    Publish("6.0.5.0");
    sign_at(now - 3600, 86400);
    EXPECT_EQ("installed", Pass());
    EXPECT_EQ(Engine("6.0.5.0"), Value("EnginePath"));

    Publish("6.0.6.0");
    sign_at(now - 7200, 86400);
    EXPECT_EQ(0u, Pass().rfind("The signed catalogue 'EngineVersion.ini' was signed before one already accepted (", 0));
    sign_at(now - 3 * 86400, 86400);
    EXPECT_EQ(0u, Pass().rfind("The signed catalogue 'EngineVersion.ini' expired on ", 0));
    SetRequiredSigners(nullptr);
    EXPECT_EQ(Engine("6.0.5.0"), Value("EnginePath"));
    EXPECT_FALSE(Testing::Exists(Engine("6.0.6.0")));
    EXPECT_EQ(now - 3600, NewestSignedCatalogue(CatalogueKind::kEngine));
}

// The engine source's fallback sites: a folder that is gone sends the pass
// to the next, which installs; when every site fails, each is named.
TEST_F(EngineUpdaterTest, AFailingEngineSiteFallsBackToTheNext) {
    Publish("6.0.5.0");
    {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
        key.WriteString("EngineUpdateFSDirectory", dir_ / "gone");
        key.WriteMultiString(kEngineFallbackSitesValue, {dir_ / "also-gone", site()});
    }
    core_.Load();
    EXPECT_EQ("installed", Pass());
    EXPECT_EQ(Engine("6.0.5.0"), Value("EnginePath"));
    const auto history = core_.GetMessageHistory();
    std::string text;
    for (const auto& entry : history) text += entry.text + "\n";
    EXPECT_NE(std::string::npos, text.find("The update site '" + dir_ / "gone" + "' failed (")) << text;
    EXPECT_NE(std::string::npos, text.find("the pass starts again from '" + site() + "'")) << text;

    RegistryKey key;
    key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
    key.WriteMultiString(kEngineFallbackSitesValue, {dir_ / "also-gone"});
    EXPECT_EQ(0u, Pass().rfind("Every update site failed: '" + dir_ / "gone" + "': ", 0));
    EXPECT_EQ(Engine("6.0.5.0"), Value("EnginePath"));
}

TEST_F(EngineUpdaterTest, WithoutInstallPathTheDefaultFolderIsUsedNotTheWorkingDirectory) {
    {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
        key.DeleteValue("InstallPath");
    }
    EXPECT_EQ(dir_ / "opt/vexor/Engine/", core_.GetEngineUpdater().EngineRoot());
}

TEST_F(EngineUpdaterTest, TidyingKeepsTheThreeNewestAndTheConfigured) {
    for (const char* v : {"6.0.1.0", "6.0.2.0", "6.0.3.0", "6.0.10.0"}) fs::create_directories(Engine(v));
    fs::create_directories(dir_ / "opt/vexor/Engine/not-a-version");
    {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
        key.WriteString("EnginePath", Engine("6.0.1.0"));
    }
    core_.GetEngineUpdater().DeleteOldEngineFolders();
    EXPECT_EQ((std::vector<std::string>{"6.0.1.0", "6.0.10.0", "6.0.3.0", "6.0.4.1200", "not-a-version"}),
              EngineFolders());
}

// -once killed at random moments of engine passes: EnginePath and
// EngineHash always name a complete engine and its own archive's hash.
TEST(EngineUpdateCrash, KilledPassesNeverLeaveAMismatchedEngine) {
    EngineScenario t;
    {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
        key.WriteString("LogPath", t.dir_ / "log");
        key.WriteDword("DATSource", LocalFolder);
        key.WriteString("LocalDirectory", t.dir_ / "dat-site");
    }
    WriteFile(t.dir_ / "dat-site/oem.ini", "[AVV-ZIP]\r\nDATVersion=7\r\n");
    std::map<std::string, std::string> hashes{{t.Engine("6.0.4.1200"), "installed-hash"}};
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> delay_ms(0, 150);
    int kills = 0;
    for (int revision = 1; kills < 50 && revision < 400; ++revision) {
        const std::string version = "6.0.5." + std::to_string(revision);
        t.Publish(version);
        const std::string text = ReadFile(t.UpdateIni());
        hashes[t.Engine(version)] = text.substr(text.find("MD5=") + 4, 32);
        {
            Testing::SpawnedProcess run({VEXOR_UPDATER_PROGRAM, "-once"});
            std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms(random)));
            run.Kill(SIGKILL);
            if (run.Wait() == 128 + SIGKILL) ++kills;
        }
        SCOPED_TRACE("after the kill at " + version);
        const std::string path = t.Value("EnginePath");
        ASSERT_TRUE(hashes.count(path)) << path;
        EXPECT_EQ(hashes[path], t.Value("EngineHash"));
        EXPECT_TRUE(Testing::Exists(path + "/mscan64a.so"));
        Testing::SpawnedProcess again({VEXOR_UPDATER_PROGRAM, "-once"});
        const int status = again.Wait();
        EXPECT_TRUE(status == 0 || status == 2) << status;
        EXPECT_EQ(t.Engine(version), t.Value("EnginePath"));
        if (HasFailure()) break;
    }
    EXPECT_EQ(50, kills);
}

}  // namespace
}  // namespace TesselSoftware
