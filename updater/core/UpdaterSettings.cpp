#include "core/UpdaterSettings.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <optional>

#include "Common/Clock.h"
#include "Common/Errors/ErrorText.h"
#include "Common/Errors/Win32Error.h"
#include "Common/Platform/FileVersion.h"
#include "Common/Platform/NamedMutex.h"
#include "Common/ProductKey.h"
#include "Common/Registry/SecretValues.h"
#include "core/PasswordScrambler.h"
#include "core/ScheduleSplay.h"

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

// The fields of the object, as bits of its change mask.
enum SettingsField : uint32_t {
    kNextCheckTimeField = 1u << 0,
    kLastCheckTimeField = 1u << 1,
    kLastCheckResultField = 1u << 2,
    kLastUpdateTimeField = 1u << 3,
    kDatRecordField = 1u << 4,  // DATPath and DATVersion, always written together
    kUpdateIntervalField = 1u << 5,
    kDatSourceField = 1u << 6,
    kDatFolderField = 1u << 7,
    kEngineSourceField = 1u << 8,
};

constexpr uint32_t kScheduleFields = kNextCheckTimeField;
constexpr uint32_t kCheckResultFields =
    kLastCheckTimeField | kLastCheckResultField | kLastUpdateTimeField | kDatRecordField;

uint32_t FieldsOf(SaveScope scope) {
    switch (scope) {
        case SaveScope::Schedule: return kScheduleFields;
        case SaveScope::CheckResults: return kCheckResultFields;
        case SaveScope::Everything: break;
    }
    return ~0u;
}

std::atomic<int64_t> g_registry_lock_timeout_ms{30000};

// The secrets store's product key, open for reading; none when it has none
// or this account may not read it (only root may).
std::optional<RegistryKey> OpenSecretsForReading() {
    try {
        RegistryKey key;
        key.Open(RegistryStore::Secrets()->Root(RegistryRoot::kLocalMachine), kProductKeyPath, kKeyRead);
        return key;
    } catch (const ExceptionBase&) {
        return std::nullopt;
    }
}

// A password from the secrets store, or still from the settings store where
// an older version kept it. An unreadable scrambled password loads as
// empty: the administrator sees an empty field and enters it again, instead
// of the service failing.
std::string ReadPassword(const RegistryKey& key, const std::optional<RegistryKey>& secrets,
                         const char* name) {
    std::string stored;
    if (!secrets || !secrets->ReadString(name, "", &stored)) stored = ReadText(key, name, "");
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

SourceValues LoadSource(const RegistryKey& key, const std::optional<RegistryKey>& secrets,
                        const SourceValueNames& n, const char* default_address) {
    SourceValues v;
    v.address = ReadText(key, n.address, default_address);
    v.port = ReadNumber(key, n.port, 21);
    v.user_name = ReadText(key, n.user_name, "");
    v.use_proxy = ReadFlag(key, n.use_proxy);
    v.proxy_name = ReadText(key, n.proxy_name, "");
    v.proxy_port = ReadNumber(key, n.proxy_port, 8080);
    v.proxy_requires_logon = ReadFlag(key, n.proxy_requires_logon);
    v.proxy_user_name = ReadText(key, n.proxy_user_name, "");
    v.local_directory = ReadText(key, n.local_directory, "");
    v.share_directory = ReadText(key, n.share_directory, "");
    v.share_user_name = ReadText(key, n.share_user_name, "");
    // Passwords come last: the internet, the share, then the proxy password.
    v.password = ReadPassword(key, secrets, n.password);
    v.share_password = ReadPassword(key, secrets, n.share_password);
    v.proxy_password = ReadPassword(key, secrets, n.proxy_password);
    return v;
}

// Adds the settings-store values of the fields in *pending to *values and
// writes the passwords among them to the secrets store at once, clearing
// the bits of the passwords written; the caller clears the others once
// *values is written. A copy of a password an older version left in the
// settings store goes away.
void CollectSource(RegistryKey& key, const SourceValueNames& n, const SourceValues& v, uint32_t* pending,
                   std::vector<RegistryKey::PairedValue>* values) {
    const auto text = [&](uint32_t bit, const char* name, const std::string& value) {
        if (*pending & bit) values->push_back({name, true, value, 0});
    };
    const auto number = [&](uint32_t bit, const char* name, uint32_t value) {
        if (*pending & bit) values->push_back({name, false, "", value});
    };
    text(kSourceAddress, n.address, v.address);
    number(kSourcePort, n.port, static_cast<uint32_t>(v.port));
    text(kSourceUserName, n.user_name, v.user_name);
    number(kSourceUseProxy, n.use_proxy, v.use_proxy ? 1 : 0);
    text(kSourceProxyName, n.proxy_name, v.proxy_name);
    text(kSourceProxyUserName, n.proxy_user_name, v.proxy_user_name);
    number(kSourceProxyRequiresLogon, n.proxy_requires_logon, v.proxy_requires_logon ? 1 : 0);
    number(kSourceProxyPort, n.proxy_port, static_cast<uint32_t>(v.proxy_port));
    text(kSourceLocalDirectory, n.local_directory, v.local_directory);
    text(kSourceShareDirectory, n.share_directory, v.share_directory);
    text(kSourceShareUserName, n.share_user_name, v.share_user_name);
    const uint32_t passwords = kSourcePassword | kSourceSharePassword | kSourceProxyPassword;
    if (!(*pending & passwords)) return;
    RegistryKey secrets;
    secrets.Create(RegistryStore::Secrets()->Root(RegistryRoot::kLocalMachine), kProductKeyPath);
    std::vector<RegistryKey::PairedValue> scrambled;
    std::vector<const char*> names;
    const auto password = [&](uint32_t bit, const char* name, const std::string& value) {
        if (!(*pending & bit)) return;
        scrambled.push_back({name, true, ScramblePassword(value), 0});
        names.push_back(name);
    };
    password(kSourcePassword, n.password, v.password);
    password(kSourceSharePassword, n.share_password, v.share_password);
    password(kSourceProxyPassword, n.proxy_password, v.proxy_password);
    secrets.WriteTogether(scrambled);
    *pending &= ~passwords;
    for (const char* name : names) {
        if (key.ValueExists(name)) key.DeleteValue(name);
    }
}

}  // namespace

void UpdaterSettings::SetRegistryLockTimeoutForTesting(std::chrono::milliseconds timeout) {
    g_registry_lock_timeout_ms = timeout.count();
}

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

template <typename T>
void UpdaterSettings::Take(uint32_t bit, T& field, const T& value, bool keep_changed) {
    LockGuard guard(*this);
    if (keep_changed && (changed_ & bit)) return;
    field = value;
    changed_ &= ~bit;
}

template <typename T>
void UpdaterSettings::Change(uint32_t bit, T& field, const T& value) {
    if (field == value) return;
    field = value;
    changed_ |= bit;
}

void UpdaterSettings::ReadStore(bool keep_changed) {
    try {
        RegistryKey key = OpenProductKey(true);
        if (!key.handle().store->read_only()) MoveSecretsOutOfSettings(kProductKeyPath);
        const auto take = [&](uint32_t bit, auto& field, const auto& value) { Take(bit, field, value, keep_changed); };
        take(kNextCheckTimeField, next_check_time_, ReadTime(key, "NextCheckTime", 0));
        take(kDatSourceField, dat_source_type_, ReadNumber(key, "DATSource", Internet));
        take(kEngineSourceField, engine_source_type_, ReadNumber(key, "EngineUpdateSource", Internet));
        take(kDatFolderField, dat_folder_, ReadText(key, "DATFolder", ""));
        {
            // The pair is read together: a fresh path never goes with a stale version.
            const std::string path = ReadText(key, "DATPath", "");
            const int32_t version = ReadNumber(key, "DATVersion", 0);
            LockGuard guard(*this);
            if (!keep_changed || !(changed_ & kDatRecordField)) {
                dat_path_ = path;
                dat_version_ = version;
                changed_ &= ~kDatRecordField;
            }
        }
        take(kLastCheckTimeField, last_check_time_, ReadTime(key, "LastCheckTime", 0));
        take(kLastCheckResultField, last_check_result_, ReadText(key, "LastCheckResult", ""));
        take(kLastUpdateTimeField, last_update_time_, ReadTime(key, "LastUpdateTime", 0));
        take(kUpdateIntervalField, update_interval_,
             ClampInterval(ReadTime(key, "UpdateInterval", kMaxUpdateInterval)));
        {
            const int64_t splay = std::clamp<int64_t>(ReadNumber(key, "UpdateSplaySeconds", 0), 0, kMaxUpdateSplaySeconds);
            LockGuard guard(*this);
            if (splay != update_splay_) splay_offset_ = TesselSoftware::SplayOffset(MachineIdentity(), splay);
            update_splay_ = splay;
            // A stored next check that the last check and today's interval
            // and splay do not explain (they were lowered since it was
            // written) comes back to what they give: the service never waits
            // longer than its schedule says.
            const int64_t scheduled = NextCheckAfter(last_check_time_);
            if (last_check_time_ != 0 && next_check_time_ > scheduled &&
                !(keep_changed && (changed_ & kNextCheckTimeField))) {
                next_check_time_ = scheduled;
            }
        }
        const std::optional<RegistryKey> secrets = OpenSecretsForReading();
        const SourceValues dat = LoadSource(key, secrets, kDatSourceNames, kDefaultDatSite);
        const SourceValues engine = LoadSource(key, secrets, kEngineSourceNames, kDefaultEngineSite);
        if (!keep_changed) dat_source_.ClearChanged(~0u);
        dat_source_.TakeUnchanged(dat);
        if (!keep_changed) engine_source_.ClearChanged(~0u);
        engine_source_.TakeUnchanged(engine);
    } catch (const ExceptionBase& e) {
        throw ExceptionBase(e.Code(), "Error loading DAT file updater configuration - " + e.Message());
    }
}

void UpdaterSettings::Load() {
    std::lock_guard save(save_lock_);
    ReadStore(false);
}

void UpdaterSettings::Refresh() {
    std::lock_guard save(save_lock_);
    ReadStore(true);
}

void UpdaterSettings::Save(SaveScope scope) {
    std::lock_guard save(save_lock_);
    // What to write: the changed fields of scope, copied under the value
    // lock and marked saved; what is not written goes back on failure.
    uint32_t pending = 0, dat_pending = 0, engine_pending = 0;
    int64_t next_check_time = 0, last_check_time = 0, last_update_time = 0, interval = 0;
    std::string last_check_result, dat_path, dat_folder;
    int32_t dat_version = 0, dat_source_type = 0, engine_source_type = 0;
    SourceValues dat, engine;
    {
        LockGuard guard(*this);
        pending = changed_ & FieldsOf(scope);
        changed_ &= ~pending;
        next_check_time = next_check_time_;
        last_check_time = last_check_time_;
        last_check_result = last_check_result_;
        last_update_time = last_update_time_;
        dat_path = dat_path_;
        dat_version = dat_version_;
        interval = update_interval_;
        dat_source_type = dat_source_type_;
        dat_folder = dat_folder_;
        engine_source_type = engine_source_type_;
        if (scope == SaveScope::Everything) {
            dat = dat_source_.Values(&dat_pending);
            dat_source_.ClearChanged(dat_pending);
            engine = engine_source_.Values(&engine_pending);
            engine_source_.ClearChanged(engine_pending);
        }
    }
    // One transaction for the settings store's values of this save: after
    // a crash or a power cut the store holds all of them or none, never a
    // source address of one save with the proxy of another. The passwords
    // go to the secrets store first, in a transaction of their own.
    std::vector<RegistryKey::PairedValue> values;
    const auto qword = [&](uint32_t bit, const char* name, int64_t value) {
        if (pending & bit) values.push_back({name, false, "", static_cast<uint64_t>(value), true});
    };
    const auto dword = [&](uint32_t bit, const char* name, int64_t value) {
        if (pending & bit) values.push_back({name, false, "", static_cast<uint32_t>(value)});
    };
    const auto text = [&](uint32_t bit, const char* name, const std::string& value) {
        if (pending & bit) values.push_back({name, true, value, 0});
    };
    try {
        if (pending == 0 && dat_pending == 0 && engine_pending == 0) return;
        RegistryKey key = OpenProductKey(false);
        qword(kNextCheckTimeField, "NextCheckTime", next_check_time);
        qword(kLastCheckTimeField, "LastCheckTime", last_check_time);
        text(kLastCheckResultField, "LastCheckResult", last_check_result);
        qword(kLastUpdateTimeField, "LastUpdateTime", last_update_time);
        text(kDatRecordField, "DATPath", dat_path);
        dword(kDatRecordField, "DATVersion", dat_version);
        qword(kUpdateIntervalField, "UpdateInterval", interval);
        dword(kDatSourceField, "DATSource", dat_source_type);
        text(kDatFolderField, "DATFolder", dat_folder);
        dword(kEngineSourceField, "EngineUpdateSource", engine_source_type);
        CollectSource(key, kDatSourceNames, dat, &dat_pending, &values);
        CollectSource(key, kEngineSourceNames, engine, &engine_pending, &values);
        if (!values.empty()) {
            // The plug-in reads DATPath and DATVersion under the same lock:
            // it must never see a folder with another set's version.
            if (pending & kDatRecordField) {
                UnderRegistryLock([&] { key.WriteTogether(values); });
            } else {
                key.WriteTogether(values);
            }
        }
        pending = dat_pending = engine_pending = 0;
    } catch (const ExceptionBase& e) {
        {
            LockGuard guard(*this);
            changed_ |= pending;
        }
        dat_source_.MarkChanged(dat_pending);
        engine_source_.MarkChanged(engine_pending);
        throw ExceptionBase(e.Code(), "Error saving DAT file updater configuration - " + e.Message());
    }
}

#define VEXOR_SETTINGS_FIELD(Type, Getter, Setter, field, bit) \
    Type UpdaterSettings::Getter() const {                     \
        LockGuard guard(*this);                                \
        return field;                                          \
    }                                                          \
    void UpdaterSettings::Setter(const Type& value) {          \
        LockGuard guard(*this);                                \
        Change(bit, field, value);                             \
    }

#define VEXOR_SETTINGS_SCALAR(Type, Getter, Setter, field, bit) \
    Type UpdaterSettings::Getter() const {                      \
        LockGuard guard(*this);                                 \
        return field;                                           \
    }                                                           \
    void UpdaterSettings::Setter(Type value) {                  \
        LockGuard guard(*this);                                 \
        Change(bit, field, value);                              \
    }

VEXOR_SETTINGS_FIELD(std::string, DATFolder, SetDATFolder, dat_folder_, kDatFolderField)
VEXOR_SETTINGS_SCALAR(int64_t, NextCheckTime, SetNextCheckTime, next_check_time_, kNextCheckTimeField)
VEXOR_SETTINGS_FIELD(std::string, LastCheckResult, SetLastCheckResult, last_check_result_, kLastCheckResultField)
VEXOR_SETTINGS_FIELD(std::string, DATPath, SetDATPath, dat_path_, kDatRecordField)
VEXOR_SETTINGS_SCALAR(int32_t, DATVersion, SetDATVersion, dat_version_, kDatRecordField)
VEXOR_SETTINGS_SCALAR(int32_t, DATSource, SetDATSource, dat_source_type_, kDatSourceField)
VEXOR_SETTINGS_SCALAR(int32_t, EngineUpdateSource, SetEngineUpdateSource, engine_source_type_, kEngineSourceField)

#undef VEXOR_SETTINGS_FIELD
#undef VEXOR_SETTINGS_SCALAR

int64_t UpdaterSettings::LastCheckTime() const {
    LockGuard guard(*this);
    return last_check_time_;
}

void UpdaterSettings::SetLastCheckTime(int64_t t) {
    int64_t old_next = 0;
    uint32_t old_next_changed = 0;
    {
        LockGuard guard(*this);
        old_next = next_check_time_;
        old_next_changed = changed_ & kNextCheckTimeField;
        Change(kLastCheckTimeField, last_check_time_, t);
        Change(kNextCheckTimeField, next_check_time_, NextCheckAfter(t));
    }
    try {
        Save(SaveScope::CheckResults);
        Save(SaveScope::Schedule);
    } catch (const ExceptionBase&) {
        // A check that could not be recorded stays due: the schedule in
        // memory does not move on without the store.
        LockGuard guard(*this);
        next_check_time_ = old_next;
        changed_ = (changed_ & ~kNextCheckTimeField) | old_next_changed;
        throw;
    }
}

int64_t UpdaterSettings::UpdateSplay() const {
    LockGuard guard(*this);
    return update_splay_;
}

int64_t UpdaterSettings::SplayOffset() const {
    LockGuard guard(*this);
    return splay_offset_;
}

int64_t UpdaterSettings::LastUpdateTime() const {
    LockGuard guard(*this);
    return last_update_time_;
}

void UpdaterSettings::SetLastUpdateTime(int64_t t) {
    {
        LockGuard guard(*this);
        Change(kLastUpdateTimeField, last_update_time_, t);
    }
    Save(SaveScope::CheckResults);
}

int64_t UpdaterSettings::UpdateInterval() const {
    LockGuard guard(*this);
    return update_interval_;
}

void UpdaterSettings::SetUpdateInterval(int64_t seconds) {
    LockGuard guard(*this);
    Change(kUpdateIntervalField, update_interval_, ClampInterval(seconds));
    Change(kNextCheckTimeField, next_check_time_, NextCheckAfter(last_check_time_));
}

int64_t UpdaterSettings::NextCheckAfter(int64_t t) const {
    LockGuard guard(*this);
    const int64_t interval = update_interval_;
    if (update_splay_ == 0) return t + interval;  // every check an interval after the last
    // The first slot k * interval + offset later than t (floor division,
    // so a time before the first slot works too).
    const int64_t from = t + 1 - splay_offset_;
    const int64_t k = from >= 0 ? (from + interval - 1) / interval : -((-from) / interval);
    return k * interval + splay_offset_;
}

void UpdaterSettings::SetUpdateStatus(const std::string& text, int32_t expiry_seconds,
                                      int32_t update_state) {
    // The store serializes writers itself; the values in memory are not
    // involved, so their readers never wait for this write.
    try {
        // One transaction: the idle loop rewrites these every 15 seconds.
        RegistryKey key = OpenProductKey(true);
        key.WriteTogether({{"StatusDescript", true, text, 0},
                           {"StatusTime", false, "", static_cast<uint64_t>(ServiceClock().Now()), true},
                           {"StatusExpiryTimeout", false, "", static_cast<uint32_t>(expiry_seconds)},
                           {"UpdateState", false, "", static_cast<uint32_t>(update_state)}},
                          // Only the service reads its status back (through its endpoint).
                          RegistryStore::ForReaders::kWithTheNextWrite);
    } catch (const ExceptionBase& e) {
        throw ExceptionBase(e.Code(), "Error setting DAT file update status - " + e.Message());
    }
}

UpdateStatus UpdaterSettings::GetUpdateStatus() const {
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
    const std::chrono::milliseconds timeout(g_registry_lock_timeout_ms.load());
    NamedMutex::Guard registry(*registry_lock_, timeout);
    if (!registry.locked()) {
        const uint32_t error = GetLastError();
        if (error == Win32::kTimeout) {
            throw ExceptionBase(static_cast<int32_t>(error),
                                "Another process has held the registry lock " + registry_lock_->path() +
                                    " for " + std::to_string(timeout.count() / 1000) +
                                    " seconds; nothing was saved");
        }
        throw ExceptionBase(static_cast<int32_t>(error),
                            std::string("Failed to take the registry lock - ") + FormatErrorText(error));
    }
    write();
}

void UpdaterSettings::SaveEngine(const std::string& path, const std::string& hash) {
    std::lock_guard save(save_lock_);
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

std::string UpdaterSettings::RefusedEngineRelease() const {
    try {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
        return ReadText(key, "RefusedEngineRelease", "");
    } catch (const ExceptionBase&) {
        return "";
    }
}

void UpdaterSettings::SetRefusedEngineRelease(const std::string& release) {
    WriteValueQuietly("RefusedEngineRelease", release);
}

std::string UpdaterSettings::GetEngineVersionText() const {
    std::string folder;
    ReadEnginePath(&folder);
    const auto version = ReadFileVersion(folder + kEngineLibraryName);
    return version ? version->ToString() : "Unknown";
}

}  // namespace TesselSoftware
