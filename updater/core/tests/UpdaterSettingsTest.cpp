#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "Common/Errors/Win32Error.h"
#include "Common/Platform/FileVersion.h"
#include "Common/Platform/NamedMutex.h"
#include "Common/ProductKey.h"
#include "core/PasswordScrambler.h"
#include "core/UpdaterSettings.h"
#include "TestSupport.h"

namespace TesselSoftware {
namespace {

class UpdaterSettingsTest : public ::testing::Test {
protected:
    UpdaterSettingsTest() : root_env_("VEXOR_SYSTEM_ROOT", dir_.path()) {
        key_.Create(RegistryRoot::kLocalMachine, kProductKeyPath);
    }

    void SetRaw(const std::string& name, uint32_t type, const std::string& data) {
        const auto& handle = key_.handle();
        ASSERT_EQ(0u, handle.store->SetValue(handle, name, type, data.data(),
                                            static_cast<uint32_t>(data.size())));
    }

    // The secrets store's product key, created when missing.
    RegistryKey& Secrets() {
        if (!secrets_.IsOpen()) {
            secrets_.Create(RegistryStore::Secrets()->Root(RegistryRoot::kLocalMachine), kProductKeyPath);
        }
        return secrets_;
    }

    std::string LoadError() {
        UpdaterSettings settings;
        try {
            settings.Load();
        } catch (const ExceptionBase& e) {
            return std::to_string(e.Code()) + ": " + e.Message();
        }
        return "loaded";
    }

    Testing::ScratchDir dir_;
    Testing::ScopedEnv root_env_;
    RegistryKey key_;
    RegistryKey secrets_;
};

TEST_F(UpdaterSettingsTest, EmptyKeyLoadsTheDefaults) {
    UpdaterSettings settings;
    settings.Load();
    EXPECT_EQ(3600, settings.UpdateInterval());
    EXPECT_EQ(0, settings.NextCheckTime());
    EXPECT_EQ(Internet, settings.DATSource());
    EXPECT_EQ(Internet, settings.EngineUpdateSource());
    EXPECT_EQ("", settings.DATFolder());
    EXPECT_EQ("", settings.DATPath());
    EXPECT_EQ(0, settings.DATVersion());
    for (const SourceSettings* source :
         {&settings.DatSourceSettings(), &settings.EngineSourceSettings()}) {
        EXPECT_EQ(21, source->Port());
        EXPECT_EQ(8080, source->ProxyPort());
        EXPECT_FALSE(source->UseProxy());
        EXPECT_EQ("", source->Password());
        EXPECT_EQ("", source->LocalDirectory());
    }
    EXPECT_EQ("http://update.vexor.example/Products/CommonUpdater",
              settings.DatSourceSettings().Address());
    EXPECT_EQ("https://engine.vexor.example/engine610", settings.EngineSourceSettings().Address());
}

TEST_F(UpdaterSettingsTest, MissingKeyIsCreatedByLoad) {
    key_.Close();
    RegistryKey software;
    software.Open(RegistryRoot::kLocalMachine, "SOFTWARE", kKeyAllAccess);
    software.DeleteTree("Quorvane");
    UpdaterSettings settings;
    settings.Load();
    EXPECT_TRUE(software.SubKeyExists("Quorvane\\Vexor for Tessel"));
}

TEST_F(UpdaterSettingsTest, UpdateIntervalIsClampedOnLoadAndSet) {
    const std::pair<int64_t, int64_t> rows[] = {
        {0, 600}, {599, 600}, {-5, 600}, {600, 600}, {1800, 1800}, {3600, 3600}, {3601, 3600},
        {INT64_MIN, 600}};
    for (const auto& [stored, loaded] : rows) {
        SCOPED_TRACE(stored);
        key_.WriteQword("UpdateInterval", static_cast<uint64_t>(stored));
        UpdaterSettings settings;
        settings.Load();
        EXPECT_EQ(loaded, settings.UpdateInterval());
    }
    UpdaterSettings settings;
    settings.Load();
    settings.SetUpdateInterval(10);
    EXPECT_EQ(600, settings.UpdateInterval());
}

TEST_F(UpdaterSettingsTest, DwordTimesAreZeroExtended) {
    key_.WriteDword("UpdateInterval", 1200);
    key_.WriteDword("LastCheckTime", 0xFFFFFFFFu);
    key_.WriteDword("NextCheckTime", 0x80000000u);
    UpdaterSettings settings;
    settings.Load();
    EXPECT_EQ(1200, settings.UpdateInterval());
    EXPECT_EQ(4294967295, settings.LastCheckTime());
    EXPECT_EQ(2147483648, settings.NextCheckTime());
}

TEST_F(UpdaterSettingsTest, WrongTypesFailLoadWithTheStoreError) {
    key_.WriteString("DATVersion", "7");
    EXPECT_EQ("13: Error loading DAT file updater configuration - Failed to query value "
              "'DATVersion', 13 - The data is invalid.",
              LoadError());
    key_.WriteString("DATVersion", "1234");
    EXPECT_EQ("234: Error loading DAT file updater configuration - Failed to query value "
              "'DATVersion', 234 - More data is available.",
              LoadError());
    key_.WriteDword("DATVersion", 1234);
    key_.WriteString("UseProxyServer", "1");
    EXPECT_EQ("13: Error loading DAT file updater configuration - Failed to query value "
              "'UseProxyServer', 13 - The data is invalid.",
              LoadError());
    key_.WriteString("UseProxyServer", "yes please");
    EXPECT_EQ("loaded", LoadError());
    UpdaterSettings settings;
    settings.Load();
    EXPECT_FALSE(settings.DatSourceSettings().UseProxy());
    EXPECT_EQ(1234, settings.DATVersion());
}

TEST_F(UpdaterSettingsTest, AStoreThatFailsAFlagOrTimeReadFailsTheLoad) {
    key_.WriteDword("UseProxyServer", 1);
    key_.WriteQword("NextCheckTime", 1234);
    const auto store = Testing::FaultyRegistryStore::Serve();
    const struct {
        const char* value;
        uint32_t fault;
        const char* expected;  // LoadError() up to the value name
    } cases[] = {
        {"UseProxyServer", 1009, "1009: Error loading DAT file updater configuration - Failed to query value 'UseProxyServer'"},
        {"UseProxyServer", 170, "170: Error loading DAT file updater configuration - Failed to query value 'UseProxyServer'"},
        {"NextCheckTime", 1009, "1009: Error loading DAT file updater configuration - Failed to query value 'NextCheckTime'"},
        {"NextCheckTime", 170, "170: Error loading DAT file updater configuration - Failed to query value 'NextCheckTime'"},
        {"UseProxyServer", 2, "loaded"},  // a missing value takes the default
        {"NextCheckTime", 234, "loaded"},  // so does one too long for the buffer
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.value) + " " + std::to_string(c.fault));
        store->query_faults.Clear();
        store->query_faults.Set(c.value, c.fault);
        EXPECT_TRUE(LoadError().starts_with(c.expected)) << LoadError();
    }
}

TEST_F(UpdaterSettingsTest, SaveEverythingRoundTripsEveryField) {
    {
        UpdaterSettings settings;
        settings.Load();
        settings.SetDATFolder("/var/lib/vexor/dat");
        settings.SetDATPath("/var/lib/vexor/dat/avvdat-10001-files");
        settings.SetDATVersion(10001);
        settings.SetLastCheckResult("Up to date");
        settings.SetNextCheckTime(1800000000);
        settings.SetDATSource(LocalFolder);
        settings.SetEngineUpdateSource(NetworkShare);
        settings.SetUpdateInterval(900);
        SourceSettings& dat = settings.DatSourceSettings();
        dat.SetAddress("ftp://mirror.example/dat");
        dat.SetPort(2121);
        dat.SetUserName("ftpuser");
        dat.SetPassword("ftp secret");
        dat.SetUseProxy(true);
        dat.SetProxyName("proxy.local");
        dat.SetProxyPort(3128);
        dat.SetProxyRequiresLogon(true);
        dat.SetProxyUserName("proxyuser");
        dat.SetProxyPassword("proxy secret");
        dat.SetLocalDirectory("/srv/dat");
        dat.SetShareDirectory("\\\\files\\dat");
        dat.SetShareUserName("DOMAIN\\share");
        dat.SetSharePassword("share secret");
        settings.EngineSourceSettings().SetShareDirectory("\\\\files\\engine");
        settings.EngineSourceSettings().SetSharePassword(std::string(126, 'e'));
        settings.Save(SaveScope::Everything);
    }
    UpdaterSettings loaded;
    loaded.Load();
    EXPECT_EQ("/var/lib/vexor/dat", loaded.DATFolder());
    EXPECT_EQ("/var/lib/vexor/dat/avvdat-10001-files", loaded.DATPath());
    EXPECT_EQ(10001, loaded.DATVersion());
    EXPECT_EQ("Up to date", loaded.LastCheckResult());
    EXPECT_EQ(900, loaded.UpdateInterval());
    EXPECT_EQ(LocalFolder, loaded.DATSource());
    EXPECT_EQ(NetworkShare, loaded.EngineUpdateSource());
    const SourceSettings& dat = loaded.DatSourceSettings();
    EXPECT_EQ("ftp://mirror.example/dat", dat.Address());
    EXPECT_EQ(2121, dat.Port());
    EXPECT_EQ("ftpuser", dat.UserName());
    EXPECT_EQ("ftp secret", dat.Password());
    EXPECT_TRUE(dat.UseProxy());
    EXPECT_EQ("proxy.local", dat.ProxyName());
    EXPECT_EQ(3128, dat.ProxyPort());
    EXPECT_TRUE(dat.ProxyRequiresLogon());
    EXPECT_EQ("proxyuser", dat.ProxyUserName());
    EXPECT_EQ("proxy secret", dat.ProxyPassword());
    EXPECT_EQ("/srv/dat", dat.LocalDirectory());
    EXPECT_EQ("\\\\files\\dat", dat.ShareDirectory());
    EXPECT_EQ("DOMAIN\\share", dat.ShareUserName());
    EXPECT_EQ("share secret", dat.SharePassword());
    EXPECT_EQ(std::string(126, 'e'), loaded.EngineSourceSettings().SharePassword());
    // Passwords are kept in the secrets store alone, and never as they are.
    EXPECT_FALSE(key_.ValueExists("FTPPassword"));
    EXPECT_NE("ftp secret", Secrets().ReadRequiredString("FTPPassword"));
}

// One save is one transaction of the settings store: a save that cannot
// write one of its values writes none (a power cut in the middle of it
// leaves the same), and nothing of it is lost for the next save.
TEST_F(UpdaterSettingsTest, ASaveWritesAllItsValuesOrNone) {
    UpdaterSettings settings;
    settings.Load();
    settings.SetUpdateInterval(1800);
    settings.DatSourceSettings().SetAddress("http://new.example/");
    settings.DatSourceSettings().SetUseProxy(true);
    settings.DatSourceSettings().SetProxyName("proxy.new");
    const auto store = Testing::FaultyRegistryStore::Serve();
    store->write_faults.Set("ProxyName", 1009);
    EXPECT_THROW(settings.Save(SaveScope::Everything), ExceptionBase);
    RegistryKey reader;
    reader.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
    for (const char* name : {"UpdateInterval", "SourceAddress", "UseProxyServer", "ProxyName"}) {
        EXPECT_FALSE(reader.ValueExists(name)) << name << " was written by a save that failed";
    }
    store->write_faults.Clear();
    settings.Save(SaveScope::Everything);
    uint64_t interval = 0;
    reader.ReadQword("UpdateInterval", 0, &interval);
    EXPECT_EQ(1800u, interval);
    EXPECT_EQ("http://new.example/", reader.ReadRequiredString("SourceAddress"));
    EXPECT_EQ(1u, reader.ReadRequiredDword("UseProxyServer"));
    EXPECT_EQ("proxy.new", reader.ReadRequiredString("ProxyName"));
}

TEST_F(UpdaterSettingsTest, PasswordsStoredEmptyOrUnreadableLoadAsEmpty) {
    UpdaterSettings settings;
    settings.Load();
    settings.DatSourceSettings().SetPassword("x");
    settings.DatSourceSettings().SetPassword("");
    settings.Save(SaveScope::Everything);
    EXPECT_EQ(8u, Secrets().ReadRequiredString("FTPPassword").size());  // empty, scrambled
    Secrets().WriteString("FTPPassword", "");
    Secrets().WriteString("Password", "not-scrambled");
    settings.Load();
    EXPECT_EQ("", settings.DatSourceSettings().Password());
    EXPECT_EQ("", settings.DatSourceSettings().SharePassword());
}

// An older version kept the scrambled passwords in the settings store, which
// the gateway's account reads: the first load that may write moves them.
TEST_F(UpdaterSettingsTest, PasswordsLeftInTheSettingsStoreMoveToTheSecretsStore) {
    key_.WriteString("ProxyPassword", ScramblePassword("old proxy secret", 1));
    key_.WriteString("EngineUpdateUNCPassword", ScramblePassword("old share secret", 1));
    key_.WriteString("SourceAddress", "http://kept.example/");
    UpdaterSettings settings;
    settings.Load();
    EXPECT_EQ("old proxy secret", settings.DatSourceSettings().ProxyPassword());
    EXPECT_EQ("old share secret", settings.EngineSourceSettings().SharePassword());
    EXPECT_FALSE(key_.ValueExists("ProxyPassword"));
    EXPECT_FALSE(key_.ValueExists("EngineUpdateUNCPassword"));
    EXPECT_TRUE(Secrets().ValueExists("ProxyPassword"));
    EXPECT_EQ("http://kept.example/", key_.ReadRequiredString("SourceAddress"));
    struct stat info {};
    ASSERT_EQ(0, ::stat((dir_ / "var/lib/vexor/secrets.db").c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 07777);
}

// Two processes share the store: each save writes only what its own process
// changed since it last read, so neither puts back the other's old values.
TEST_F(UpdaterSettingsTest, NoSaveWritesAValueItsProcessDidNotChange) {
    UpdaterSettings service, once;
    service.Load();
    once.Load();
    // A one-shot run installs a newer set and records its check.
    once.SetDATPath("/dat/avvdat-9-files");
    once.SetDATVersion(9);
    once.SetLastCheckResult("New definition files retrieved.");
    once.Save(SaveScope::CheckResults);
    once.SetLastCheckTime(5000);

    const struct Row {
        const char* what;
        std::function<void()> save;
    } rows[] = {
        {"a settings change", [&] {
             service.DatSourceSettings().SetAddress("http://changed.example/");
             service.Save(SaveScope::Everything);
         }},
        {"a failed pass records its check", [&] {
             service.SetLastCheckResult("Failed to get the latest available version");
             service.Save(SaveScope::CheckResults);
             service.SetLastCheckTime(6000);
         }},
        {"a save with nothing changed", [&] { service.Save(SaveScope::Everything); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        row.save();
        EXPECT_EQ("/dat/avvdat-9-files", key_.ReadRequiredString("DATPath"));
        EXPECT_EQ(9u, key_.ReadRequiredDword("DATVersion"));
    }
    EXPECT_EQ("http://changed.example/", key_.ReadRequiredString("SourceAddress"));
    // Refresh takes what the other process wrote and keeps unsaved changes.
    service.DatSourceSettings().SetProxyName("proxy.unsaved");
    service.Refresh();
    EXPECT_EQ(9, service.DATVersion());
    EXPECT_EQ("proxy.unsaved", service.DatSourceSettings().ProxyName());
}

// A process that holds the registry lock (any member of the gateway's group
// can) makes a save fail after the time-out, and readers never wait for it.
TEST_F(UpdaterSettingsTest, AHeldRegistryLockFailsTheSaveInTimeAndNeverBlocksReaders) {
    UpdaterSettings::SetRegistryLockTimeoutForTesting(std::chrono::milliseconds(300));
    UpdaterSettings settings;
    settings.Load();
    uint32_t error = 0;
    const auto lock = NamedMutex::Open(kRegistryLockName, &error);
    ASSERT_TRUE(lock);
    std::atomic<bool> held{false}, release{false};
    std::thread holder([&] {
        NamedMutex::Guard guard(*lock);
        held = true;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    ASSERT_TRUE(Testing::WaitUntil([&] { return held.load(); }));
    settings.SetDATPath("/dat/avvdat-3-files");
    settings.SetDATVersion(3);
    std::atomic<bool> saving{true};
    std::string failure;
    std::thread saver([&] {
        try {
            settings.Save(SaveScope::CheckResults);
        } catch (const ExceptionBase& e) {
            failure = e.Message();
        }
        saving = false;
    });
    // The values stay readable while the save waits.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(3, settings.DATVersion());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    saver.join();
    release = true;
    holder.join();
    UpdaterSettings::SetRegistryLockTimeoutForTesting(std::chrono::seconds(30));
    EXPECT_NE(std::string::npos, failure.find("has held the registry lock")) << failure;
    EXPECT_FALSE(key_.ValueExists("DATPath"));
    // Still to be saved: the next save writes the pair.
    settings.Save(SaveScope::CheckResults);
    EXPECT_EQ("/dat/avvdat-3-files", key_.ReadRequiredString("DATPath"));
}

TEST_F(UpdaterSettingsTest, OverlongPasswordsAreRefusedBySetters) {
    UpdaterSettings settings;
    EXPECT_THROW(settings.DatSourceSettings().SetPassword(std::string(127, 'x')), ExceptionBase);
    EXPECT_THROW(settings.DatSourceSettings().SetProxyPassword(std::string(200, 'x')),
                 ExceptionBase);
    EXPECT_THROW(settings.EngineSourceSettings().SetSharePassword(std::string(127, 'x')),
                 ExceptionBase);
    settings.DatSourceSettings().SetPassword(std::string(126, 'x'));
}

TEST_F(UpdaterSettingsTest, SetLastCheckTimeReschedulesInMemoryAndInTheStore) {
    UpdaterSettings settings;
    settings.Load();
    settings.SetUpdateInterval(1200);
    settings.SetLastCheckTime(1700000000);
    EXPECT_EQ(1700001200, settings.NextCheckTime());
    uint64_t stored = 0;
    key_.ReadQword("NextCheckTime", 0, &stored);
    EXPECT_EQ(1700001200u, stored);
    key_.ReadQword("LastCheckTime", 0, &stored);
    EXPECT_EQ(1700000000u, stored);
    settings.SetLastUpdateTime(1700000100);
    key_.ReadQword("LastUpdateTime", 0, &stored);
    EXPECT_EQ(1700000100u, stored);
    uint64_t interval = 0;
    EXPECT_FALSE(key_.ReadQword("UpdateInterval", 0, &interval));  // only Everything saves it
}

// A finished check that could not be recorded stays due: the schedule in
// memory does not move on while the store still has the old one.
TEST_F(UpdaterSettingsTest, ACheckThatCannotBeRecordedStaysDue) {
    UpdaterSettings settings;
    settings.Load();
    settings.SetNextCheckTime(1000);
    settings.Save(SaveScope::Schedule);
    auto store = Testing::FaultyRegistryStore::Serve();
    store->write_faults.Set("NextCheckTime", Win32::kAccessDenied);
    EXPECT_THROW(settings.SetLastCheckTime(5000), ExceptionBase);
    EXPECT_EQ(1000, settings.NextCheckTime());
    store->write_faults.Clear();
    settings.SetLastCheckTime(6000);
    EXPECT_EQ(6000 + settings.UpdateInterval(), settings.NextCheckTime());
}

TEST_F(UpdaterSettingsTest, UpdateStatusRoundTripsAndHasDefaults) {
    UpdaterSettings settings;
    const UpdateStatus none = settings.GetUpdateStatus();
    EXPECT_EQ("No Status", none.text);
    EXPECT_EQ(0, none.time);
    const int64_t before = std::time(nullptr);
    settings.SetUpdateStatus("Downloading avvdat-10001.zip", 20, 1);
    const UpdateStatus status = settings.GetUpdateStatus();
    EXPECT_EQ("Downloading avvdat-10001.zip", status.text);
    EXPECT_GE(status.time, before);
    EXPECT_LE(status.time, before + 5);
    EXPECT_EQ(20, status.expiry_seconds);
    EXPECT_EQ(1, status.update_state);
}

TEST_F(UpdaterSettingsTest, FolderValuesMustBeWholeTerminatedStrings) {
    UpdaterSettings settings;
    std::string path = "untouched";
    EXPECT_FALSE(settings.ReadEnginePath(&path));
    EXPECT_EQ("untouched", path);
    key_.WriteString("EnginePath", "/opt/vexor/Engine/6100");
    ASSERT_TRUE(settings.ReadEnginePath(&path));
    EXPECT_EQ("/opt/vexor/Engine/6100/", path);
    key_.WriteExpandString("InstallPath", "/opt/vexor/");
    ASSERT_TRUE(settings.ReadInstallPath(&path));
    EXPECT_EQ("/opt/vexor/", path);

    SetRaw("EnginePath", kRegSz, std::string("/\0x", 3));         // odd length
    EXPECT_FALSE(settings.ReadEnginePath(&path));
    SetRaw("EnginePath", kRegSz, std::string("/\0x\0", 4));       // no terminator
    EXPECT_FALSE(settings.ReadEnginePath(&path));
    key_.WriteString("EnginePath", std::string(519, 'p'));         // 520 with terminator
    EXPECT_TRUE(settings.ReadEnginePath(&path));
    key_.WriteString("EnginePath", std::string(520, 'p'));
    EXPECT_FALSE(settings.ReadEnginePath(&path));
    key_.WriteDword("EnginePath", 1);
    EXPECT_FALSE(settings.ReadEnginePath(&path));
}

TEST_F(UpdaterSettingsTest, EngineVersionComesFromTheLibrarysNote) {
    UpdaterSettings settings;
    EXPECT_EQ("Unknown", settings.GetEngineVersionText());
    const std::string fixture = VEXOR_VERSIONED_FIXTURE;
    settings.WriteEnginePath(std::filesystem::path(fixture).parent_path().string());
    EXPECT_EQ("7.2.3.4", settings.GetEngineVersionText());
    settings.WriteEngineHash("abc123");
    EXPECT_EQ("abc123", key_.ReadRequiredString("EngineHash"));

    // A file that is not ELF, and a truncated library, have no version.
    Testing::WriteFile(dir_ / "engine/mscan64a.so", "not an ELF file at all");
    settings.WriteEnginePath(dir_ / "engine");
    EXPECT_EQ("Unknown", settings.GetEngineVersionText());
    const std::string whole = Testing::ReadFile(fixture);
    for (size_t cut : {size_t{16}, size_t{64}, whole.size() / 2, whole.size() - 1}) {
        Testing::WriteFile(dir_ / "cut.so", whole.substr(0, cut));
        EXPECT_FALSE(ReadFileVersion(dir_ / "cut.so").has_value()) << cut;
    }
}

// /run/lock is sticky and root-owned, and Debian refuses an O_CREAT open of
// another account's file there (fs.protected_regular=2), root included. The
// gateway's plug-in may create the registry lock before the service does.
TEST_F(UpdaterSettingsTest, RegistryLockCreatedByTheGatewayAccountStillSavesAsRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as two accounts";
    Testing::ScopedSysctl protected_regular("/proc/sys/fs/protected_regular", "2");
    if (!protected_regular.applied()) GTEST_SKIP() << "fs.protected_regular cannot be set here";
    ::chmod(dir_.path().c_str(), 0755);
    const std::string lock_dir = dir_ / "run/lock";
    std::filesystem::create_directories(lock_dir);
    ASSERT_EQ(0, ::chmod(lock_dir.c_str(), 01777));
    const auto created = Testing::RunInChild(
        [](int) {
            uint32_t error = 0;
            return NamedMutex::Open(kRegistryLockName, &error) ? 0 : static_cast<int>(error);
        },
        /*drop_to_nobody=*/true);
    ASSERT_EQ(0, created.status);
    const std::string lock_file = lock_dir + "/vexorft.registrylock";
    struct stat info;
    ASSERT_EQ(0, ::stat(lock_file.c_str(), &info));
    ASSERT_EQ(Testing::kNobodyId, info.st_uid);
    // The kernel refuses the plain create-or-open here, as on a stock host.
    const int plain = ::open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (plain >= 0) ::close(plain);
    ASSERT_LT(plain, 0);

    UpdaterSettings settings;
    ASSERT_NE(nullptr, settings.RegistryLock());
    settings.SetDATPath("/dat/avvdat-7-files");
    settings.SetDATVersion(7);
    settings.Save(SaveScope::CheckResults);
    UpdaterSettings reread;
    reread.Load();
    EXPECT_EQ("/dat/avvdat-7-files", reread.DATPath());
    EXPECT_EQ(7, reread.DATVersion());
}

TEST_F(UpdaterSettingsTest, MissingRegistryLockFailsTheDatPathSave) {
    Testing::WriteFile(dir_ / "run/lock", "a file where the lock folder should be");
    UpdaterSettings settings;
    ASSERT_EQ(nullptr, settings.RegistryLock());
    settings.Load();
    settings.SetDATPath("/dat/x");
    try {
        settings.Save(SaveScope::CheckResults);
        FAIL() << "saved without the registry lock";
    } catch (const ExceptionBase& e) {
        EXPECT_EQ("Error saving DAT file updater configuration - The registry lock "
                  "\"/vexorft/registrylock\" could not be created",
                  e.Message());
    }
    std::string path;
    EXPECT_FALSE(key_.ReadString("DATPath", "", &path));
    settings.Save(SaveScope::Schedule);  // nothing else needs the lock
}

TEST_F(UpdaterSettingsTest, LockedSavesAndReadsNeverMixPairs) {
    std::atomic<bool> done{false};
    std::thread writer([&] {
        UpdaterSettings settings;
        settings.Load();
        for (int v = 1; v <= 200; ++v) {
            settings.SetDATPath("/dat/avvdat-" + std::to_string(v) + "-files");
            settings.SetDATVersion(v);
            settings.Save(SaveScope::CheckResults);
        }
        done = true;
    });
    uint32_t error = 0;
    auto lock = NamedMutex::Open(kRegistryLockName, &error);
    ASSERT_TRUE(lock);
    RegistryKey reader;
    reader.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
    int reads = 0;
    while (!done.load() || reads < 10) {
        // Give the writer its turn: an in-process lock hands over unfairly.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        NamedMutex::Guard guard(*lock);
        std::string path;
        uint32_t version = 0;
        if (reader.ReadString("DATPath", "", &path)) {
            reader.ReadDword("DATVersion", 0, &version);
            ASSERT_EQ("/dat/avvdat-" + std::to_string(version) + "-files", path);
        }
        ++reads;
    }
    writer.join();
}

}  // namespace
}  // namespace TesselSoftware
