#include "core/UpdaterSettings.h"

#include <ctime>

#include "Common/Errors/ErrorText.h"
#include "Common/Errors/Win32Error.h"
#include "Common/Platform/FileVersion.h"
#include "Common/Platform/NamedMutex.h"
#include "Common/ProductKey.h"
#include "core/PasswordScrambler.h"

namespace TesselSoftware {

namespace {

constexpr uint32_t kLoadAccess = kKeyQueryValue | kKeySetValue | kKeyCreateSubKey;
constexpr uint32_t kMaxFolderChars = 520;  // terminator included

int64_t ClampInterval(int64_t seconds) {
    if (seconds < kMinUpdateInterval) return kMinUpdateInterval;
    if (seconds > kMaxUpdateInterval) return kMaxUpdateInterval;
    return seconds;
}

int32_t ReadNumber(const RegistryKey& key, const char* name, uint32_t default_value) {
    uint32_t value = 0;
    key.ReadDword(name, default_value, &value);
    return static_cast<int32_t>(value);
}

bool ReadFlag(const RegistryKey& key, const char* name) {
    bool value = false;
    key.ReadBool(name, false, &value);
    return value;
}

int64_t ReadTime(const RegistryKey& key, const char* name, int64_t default_value) {
    uint64_t value = 0;
    key.ReadQword(name, static_cast<uint64_t>(default_value), &value);
    return static_cast<int64_t>(value);
}

std::string ReadText(const RegistryKey& key, const char* name, const std::string& default_value) {
    std::string value;
    key.ReadString(name, default_value, &value);
    return value;
}

// An unreadable scrambled password loads as empty: the administrator sees
// an empty field and enters it again, instead of the service failing.
std::string ReadPassword(const RegistryKey& key, const char* name) {
    const std::string stored = ReadText(key, name, "");
    std::string password;
    if (!stored.empty()) UnscramblePassword(stored, &password);
    return password;
}

// The registry value names of one source, in the store's naming.
struct SourceValueNames {
    const char* address;
    const char* port;
    const char* user_name;
    const char* password;
    const char* use_proxy;
    const char* proxy_name;
    const char* proxy_port;
    const char* proxy_requires_logon;
    const char* proxy_user_name;
    const char* proxy_password;
    const char* local_directory;
    const char* share_directory;
    const char* share_user_name;
    const char* share_password;
};

constexpr SourceValueNames kDatSourceNames = {
    "SourceAddress", "FTPPort",      "FTPUserName",       "FTPPassword",   "UseProxyServer",
    "ProxyName",     "ProxyPort",    "ProxyRequiresLogon", "ProxyUserName", "ProxyPassword",
    "LocalDirectory", "NetShareDirectory", "UserName",   "Password"};

constexpr SourceValueNames kEngineSourceNames = {
    "EngineUpdateINETAddress",        "EngineUpdateINETPort",
    "EngineUpdateINETUserName",       "EngineUpdateINETPassword",
    "EngineUpdateUseProxy",           "EngineUpdateProxyServer",
    "EngineUpdateProxyPort",          "EngineUpdateProxyRequiresLogon",
    "EngineUpdateProxyUserName",      "EngineUpdateProxyPassword",
    "EngineUpdateFSDirectory",        "EngineUpdateUNCDirectory",
    "EngineUpdateUNCUserName",        "EngineUpdateUNCPassword"};

void LoadSource(const RegistryKey& key, const SourceValueNames& n, const char* default_address,
                SourceSettings* source) {
    source->SetAddress(ReadText(key, n.address, default_address));
    source->SetPort(ReadNumber(key, n.port, 21));
    source->SetUserName(ReadText(key, n.user_name, ""));
    source->SetUseProxy(ReadFlag(key, n.use_proxy));
    source->SetProxyName(ReadText(key, n.proxy_name, ""));
    source->SetProxyPort(ReadNumber(key, n.proxy_port, 8080));
    source->SetProxyRequiresLogon(ReadFlag(key, n.proxy_requires_logon));
    source->SetProxyUserName(ReadText(key, n.proxy_user_name, ""));
    source->SetLocalDirectory(ReadText(key, n.local_directory, ""));
    source->SetShareDirectory(ReadText(key, n.share_directory, ""));
    source->SetShareUserName(ReadText(key, n.share_user_name, ""));
    // Passwords come last: the internet, the share, then the proxy password.
    source->SetPassword(ReadPassword(key, n.password));
    source->SetSharePassword(ReadPassword(key, n.share_password));
    source->SetProxyPassword(ReadPassword(key, n.proxy_password));
}

void SaveSource(RegistryKey& key, const SourceValueNames& n, const SourceSettings& source) {
    key.WriteString(n.address, source.Address());
    key.WriteDword(n.port, static_cast<uint32_t>(source.Port()));
    key.WriteString(n.user_name, source.UserName());
    key.WriteDword(n.use_proxy, source.UseProxy() ? 1 : 0);
    key.WriteString(n.proxy_name, source.ProxyName());
    key.WriteString(n.proxy_user_name, source.ProxyUserName());
    key.WriteDword(n.proxy_requires_logon, source.ProxyRequiresLogon() ? 1 : 0);
    key.WriteDword(n.proxy_port, static_cast<uint32_t>(source.ProxyPort()));
    key.WriteString(n.local_directory, source.LocalDirectory());
    key.WriteString(n.share_directory, source.ShareDirectory());
    key.WriteString(n.share_user_name, source.ShareUserName());
    key.WriteString(n.password, ScramblePassword(source.Password()));
    key.WriteString(n.share_password, ScramblePassword(source.SharePassword()));
    key.WriteString(n.proxy_password, ScramblePassword(source.ProxyPassword()));
}

}  // namespace

UpdaterSettings::UpdaterSettings() {
    uint32_t error = 0;
    registry_lock_ = NamedMutex::Open(kRegistryLockName, &error);
}

UpdaterSettings::~UpdaterSettings() = default;

RegistryKey UpdaterSettings::OpenProductKey(bool create_missing) const {
    RegistryKey key;
    try {
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kLoadAccess);
    } catch (const CRegKeyException&) {
        if (!create_missing) throw;
        key.Create(RegistryRoot::kLocalMachine, kProductKeyPath, "", 0, kKeyAllAccess);
    }
    return key;
}

void UpdaterSettings::Load() {
    LockGuard guard(*this);
    try {
        RegistryKey key = OpenProductKey(true);
        next_check_time_ = ReadTime(key, "NextCheckTime", 0);
        dat_source_type_ = ReadNumber(key, "DATSource", Internet);
        engine_source_type_ = ReadNumber(key, "EngineUpdateSource", Internet);
        dat_folder_ = ReadText(key, "DATFolder", "");
        dat_path_ = ReadText(key, "DATPath", "");
        dat_version_ = ReadNumber(key, "DATVersion", 0);
        last_check_time_ = ReadTime(key, "LastCheckTime", 0);
        last_check_result_ = ReadText(key, "LastCheckResult", "");
        last_update_time_ = ReadTime(key, "LastUpdateTime", 0);
        update_interval_ = ClampInterval(ReadTime(key, "UpdateInterval", kMaxUpdateInterval));
        LoadSource(key, kDatSourceNames, kDefaultDatSite, &dat_source_);
        LoadSource(key, kEngineSourceNames, kDefaultEngineSite, &engine_source_);
    } catch (const ExceptionBase& e) {
        throw ExceptionBase(e.Code(), "Error loading DAT file updater configuration - " + e.Message());
    }
}

void UpdaterSettings::Save(SaveScope scope) {
    LockGuard guard(*this);
    try {
        RegistryKey key = OpenProductKey(false);
        if (scope == SaveScope::Everything || scope == SaveScope::Schedule) {
            key.WriteQword("NextCheckTime", static_cast<uint64_t>(next_check_time_));
        }
        if (scope == SaveScope::Everything || scope == SaveScope::CheckResults) {
            key.WriteQword("LastCheckTime", static_cast<uint64_t>(last_check_time_));
            key.WriteString("LastCheckResult", last_check_result_);
            key.WriteQword("LastUpdateTime", static_cast<uint64_t>(last_update_time_));
            // The plug-in reads this pair under the same lock: it must never
            // see a folder with another set's version. One transaction: a
            // crash never leaves such a pair behind either.
            UnderRegistryLock([&] {
                key.WriteTogether({{"DATPath", true, dat_path_, 0},
                                   {"DATVersion", false, "", static_cast<uint32_t>(dat_version_)}});
            });
        }
        if (scope == SaveScope::Everything) {
            key.WriteQword("UpdateInterval", static_cast<uint64_t>(update_interval_));
            key.WriteDword("DATSource", static_cast<uint32_t>(dat_source_type_));
            key.WriteString("DATFolder", dat_folder_);
            SaveSource(key, kDatSourceNames, dat_source_);
            key.WriteDword("EngineUpdateSource", static_cast<uint32_t>(engine_source_type_));
            SaveSource(key, kEngineSourceNames, engine_source_);
        }
    } catch (const ExceptionBase& e) {
        throw ExceptionBase(e.Code(), "Error saving DAT file updater configuration - " + e.Message());
    }
}

#define VEXOR_SETTINGS_FIELD(Type, Getter, Setter, field) \
    Type UpdaterSettings::Getter() const {                \
        LockGuard guard(*this);                           \
        return field;                                     \
    }                                                     \
    void UpdaterSettings::Setter(const Type& value) {     \
        LockGuard guard(*this);                           \
        field = value;                                    \
    }

#define VEXOR_SETTINGS_SCALAR(Type, Getter, Setter, field) \
    Type UpdaterSettings::Getter() const {                 \
        LockGuard guard(*this);                            \
        return field;                                      \
    }                                                      \
    void UpdaterSettings::Setter(Type value) {             \
        LockGuard guard(*this);                            \
        field = value;                                     \
    }

VEXOR_SETTINGS_FIELD(std::string, DATFolder, SetDATFolder, dat_folder_)
VEXOR_SETTINGS_SCALAR(int64_t, NextCheckTime, SetNextCheckTime, next_check_time_)
VEXOR_SETTINGS_FIELD(std::string, LastCheckResult, SetLastCheckResult, last_check_result_)
VEXOR_SETTINGS_FIELD(std::string, DATPath, SetDATPath, dat_path_)
VEXOR_SETTINGS_SCALAR(int32_t, DATVersion, SetDATVersion, dat_version_)
VEXOR_SETTINGS_SCALAR(int32_t, DATSource, SetDATSource, dat_source_type_)
VEXOR_SETTINGS_SCALAR(int32_t, EngineUpdateSource, SetEngineUpdateSource, engine_source_type_)

#undef VEXOR_SETTINGS_FIELD
#undef VEXOR_SETTINGS_SCALAR

int64_t UpdaterSettings::LastCheckTime() const {
    LockGuard guard(*this);
    return last_check_time_;
}

void UpdaterSettings::SetLastCheckTime(int64_t t) {
    LockGuard guard(*this);
    last_check_time_ = t;
    next_check_time_ = t + update_interval_;
    Save(SaveScope::CheckResults);
    Save(SaveScope::Schedule);
}

int64_t UpdaterSettings::LastUpdateTime() const {
    LockGuard guard(*this);
    return last_update_time_;
}

void UpdaterSettings::SetLastUpdateTime(int64_t t) {
    LockGuard guard(*this);
    last_update_time_ = t;
    Save(SaveScope::CheckResults);
}

int64_t UpdaterSettings::UpdateInterval() const {
    LockGuard guard(*this);
    return update_interval_;
}

void UpdaterSettings::SetUpdateInterval(int64_t seconds) {
    LockGuard guard(*this);
    update_interval_ = ClampInterval(seconds);
    next_check_time_ = last_check_time_ + update_interval_;
}

void UpdaterSettings::SetUpdateStatus(const std::string& text, int32_t expiry_seconds,
                                      int32_t update_state) {
    LockGuard guard(*this);
    try {
        // One transaction: the idle loop rewrites these every 15 seconds.
        RegistryKey key = OpenProductKey(true);
        key.WriteTogether({{"StatusDescript", true, text, 0},
                           {"StatusTime", false, "", static_cast<uint64_t>(std::time(nullptr)), true},
                           {"StatusExpiryTimeout", false, "", static_cast<uint32_t>(expiry_seconds)},
                           {"UpdateState", false, "", static_cast<uint32_t>(update_state)}});
    } catch (const ExceptionBase& e) {
        throw ExceptionBase(e.Code(), "Error setting DAT file update status - " + e.Message());
    }
}

UpdateStatus UpdaterSettings::GetUpdateStatus() const {
    LockGuard guard(*this);
    try {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
        UpdateStatus status;
        status.text = ReadText(key, "StatusDescript", "No Status");
        status.time = ReadTime(key, "StatusTime", 0);
        status.expiry_seconds = ReadNumber(key, "StatusExpiryTimeout", 0);
        status.update_state = ReadNumber(key, "UpdateState", 0);
        return status;
    } catch (const ExceptionBase& e) {
        throw ExceptionBase(e.Code(), "Error reading DAT file update status - " + e.Message());
    }
}

bool UpdaterSettings::ReadFolderValue(const char* name, std::string* path) {
    try {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
        const RegistryStore::Key& handle = key.handle();
        std::string data(kMaxFolderChars * 2, '\0');
        uint32_t type = kRegNone, size = static_cast<uint32_t>(data.size());
        if (handle.store->QueryValue(handle, name, &type, data.data(), &size) != 0) return false;
        // A folder must be a whole, terminated UTF-16 string.
        if ((type != kRegSz && type != kRegExpandSz) || size < 2 || size % 2 != 0 ||
            data[size - 1] != '\0' || data[size - 2] != '\0') {
            return false;
        }
        data.resize(size);
        std::string folder = DecodeRegistryString(data);
        if (folder.empty() || folder.back() != '/') folder += '/';
        *path = folder;
        return true;
    } catch (const ExceptionBase&) {
        return false;
    }
}

bool UpdaterSettings::ReadEnginePath(std::string* path) {
    return ReadFolderValue("EnginePath", path);
}

bool UpdaterSettings::ReadInstallPath(std::string* path) {
    return ReadFolderValue("InstallPath", path);
}

void UpdaterSettings::WriteValueQuietly(const char* name, const std::string& text) {
    try {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeySetValue);
        key.WriteString(name, text);
    } catch (const ExceptionBase&) {
        // The engine update logs its own progress; a failed write shows up as
        // the old engine still being reported.
    }
}

void UpdaterSettings::WriteEnginePath(const std::string& path) { WriteValueQuietly("EnginePath", path); }

void UpdaterSettings::WriteEngineHash(const std::string& text) { WriteValueQuietly("EngineHash", text); }

void UpdaterSettings::UnderRegistryLock(const std::function<void()>& write) const {
    if (!registry_lock_) {
        throw ExceptionBase(0, std::string("The registry lock \"") + kRegistryLockName +
                                   "\" could not be created");
    }
    NamedMutex::Guard registry(*registry_lock_);
    if (!registry.locked()) {
        const uint32_t error = GetLastError();
        throw ExceptionBase(static_cast<int32_t>(error),
                            std::string("Failed to take the registry lock - ") + FormatErrorText(error));
    }
    write();
}

void UpdaterSettings::SaveEngine(const std::string& path, const std::string& hash) {
    LockGuard guard(*this);
    try {
        // The plug-in reads the pair under the registry lock: it never sees
        // a new folder with the old hash, nor the reverse.
        RegistryKey key = OpenProductKey(true);
        UnderRegistryLock([&] {
            key.WriteTogether({{"EnginePath", true, path, 0}, {"EngineHash", true, hash, 0}});
        });
    } catch (const ExceptionBase& e) {
        throw ExceptionBase(e.Code(), "Error saving the engine settings - " + e.Message());
    }
}

std::string UpdaterSettings::GetEngineVersionText() const {
    std::string folder;
    ReadEnginePath(&folder);
    const auto version = ReadFileVersion(folder + kEngineLibraryName);
    return version ? version->ToString() : "Unknown";
}

}  // namespace TesselSoftware
