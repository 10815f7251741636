#include "control/UpdaterControlHandlers.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <optional>

#include "Common/Rpc/RPCHelpers.h"
#include "Common/Text/ControlCharacters.h"
#include "Common/Text/TextConversion.h"

namespace TesselSoftware {

namespace {

template <typename T>
struct Named {
    const char* name;
    T* pointer;
};
// Pairs an out pointer with its parameter name.
#define VEXOR_OUT(parameter) Named<std::remove_pointer_t<decltype(parameter)>>{#parameter, parameter}

char16_t* CopyOut(const std::string& text) {
    char16_t* copy = RpcCopyString(NarrowToWide(text).c_str());
    return copy;
}

}  // namespace

struct UpdaterControlHandlers::SourceInput {
    std::string address;
    bool use_proxy = false;
    std::string proxy_name;
    int32_t proxy_port = 0;
    bool proxy_requires_logon = false;
    std::string proxy_user;
    std::string proxy_password;
    std::string local_directory;
    std::string share_directory;
    std::string share_user;
    std::string share_password;

    static SourceInput From(const SourceSettings& source) {
        return {source.Address(),       source.UseProxy(),      source.ProxyName(),
                source.ProxyPort(),     source.ProxyRequiresLogon(), source.ProxyUserName(),
                source.ProxyPassword(), source.LocalDirectory(), source.ShareDirectory(),
                source.ShareUserName(), source.SharePassword()};
    }

    // In the order the record's fields are applied.
    void ApplyTo(SourceSettings& source) const {
        source.SetAddress(address);
        source.SetUseProxy(use_proxy);
        source.SetProxyName(proxy_name);
        source.SetProxyPort(proxy_port);
        source.SetProxyRequiresLogon(proxy_requires_logon);
        source.SetProxyUserName(proxy_user);
        source.SetProxyPassword(proxy_password);
        source.SetLocalDirectory(local_directory);
        source.SetShareDirectory(share_directory);
        source.SetShareUserName(share_user);
        source.SetSharePassword(share_password);
    }
};

namespace {

// The first control character of text (C0, DEL or C1, as UTF-8), or -1.
int FirstControlCharacter(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned code = 0;
        if (ControlCharacterAt(text, i, &code) != 0) return static_cast<int>(code);
    }
    return -1;
}

// Converts every in-string of a set call; the first failure is the reason
// the whole call changes nothing. A null string is taken as empty.
// Addresses, folders and user names may not hold control characters: they
// end up in logs, listings and command lines, where a line break or an
// escape sequence would forge or hide what follows.
class InputConverter {
public:
    void Text(const char16_t* wide, const char* name, std::string* narrow) {
        if (!Convert(wide, name, narrow)) return;
        if (const int c = FirstControlCharacter(*narrow); c >= 0) {
            char code[16];
            std::snprintf(code, sizeof code, "%04X", static_cast<unsigned>(c));
            error = std::string("The value of ") + name + " holds a control character (U+" + code + ")";
        }
    }
    void Password(const char16_t* wide, const char* name, std::string* narrow) {
        if (!Convert(wide, name, narrow)) return;
        if (narrow->find('\0') != std::string::npos) {
            error = std::string("The value of ") + name + " holds a NUL character";
        } else if (narrow->size() > kMaxPasswordLength) {
            error = std::string("The value of ") + name + " is too long: at most " +
                    std::to_string(kMaxPasswordLength) + " characters are allowed";
        }
    }
    std::string error;

private:
    bool Convert(const char16_t* wide, const char* name, std::string* narrow) {
        if (!error.empty() || wide == nullptr) return false;
        std::optional<std::string> converted = TryWideToNarrow(wide);
        if (!converted) {
            error = std::string("The value of ") + name + " is not valid text";
            return false;
        }
        *narrow = std::move(*converted);
        return true;
    }
};

}  // namespace

template <typename... Pointers>
bool UpdaterControlHandlers::CheckOutPointers(Pointers... named) {
    bool valid = true;
    const auto clear = [&](auto entry) {
        if (!valid) return;
        if (entry.pointer == nullptr) {
            event_log_.ReportError("Invalid RPC parameter: %s", entry.name);
            valid = false;
            return;
        }
        *entry.pointer = {};
    };
    (clear(named), ...);
    return valid;
}

uint8_t UpdaterControlHandlers::UpdaterGetVersionInfo(const RpcCaller&, char16_t** pEngineVersion,
                                                      char16_t** pDatVersion, char16_t** pError) {
    if (!CheckOutPointers(VEXOR_OUT(pEngineVersion), VEXOR_OUT(pDatVersion), VEXOR_OUT(pError))) return false;
    *pEngineVersion = CopyOut(core_.GetEngineVersionText());
    *pDatVersion = CopyOut(core_.GetDATVersionText());
    return true;
}

void UpdaterControlHandlers::UpdaterStartUpdate(const RpcCaller&) { core_.TriggerUpdate(); }

void UpdaterControlHandlers::UpdaterCancelUpdate(const RpcCaller&) { core_.CancelUpdate(); }

uint8_t UpdaterControlHandlers::UpdaterGetStatus(const RpcCaller&, int64_t* pLastUpdate, int64_t* pNextUpdate,
                                                 uint8_t* pIsUpdateRunning, char16_t** pStatus) {
    if (!CheckOutPointers(VEXOR_OUT(pLastUpdate), VEXOR_OUT(pNextUpdate), VEXOR_OUT(pIsUpdateRunning),
                          VEXOR_OUT(pStatus))) {
        return false;
    }
    *pLastUpdate = core_.LastCheckTime();
    *pNextUpdate = core_.NextCheckTime();
    *pIsUpdateRunning = core_.IsUpdating();
    *pStatus = CopyOut(core_.GetCurrentStatusText());
    return true;
}

uint8_t UpdaterControlHandlers::UpdaterGetLogEntries(const RpcCaller&, int32_t* pNumEntries,
                                                     VexorLogEntry** ppLogEntries, char16_t** pError) {
    if (!CheckOutPointers(VEXOR_OUT(pNumEntries), VEXOR_OUT(ppLogEntries), VEXOR_OUT(pError))) return false;
    const std::vector<MessageEntry> history = core_.GetMessageHistory();
    if (history.empty()) return true;
    auto* entries = static_cast<VexorLogEntry*>(RpcAllocate(history.size() * sizeof(VexorLogEntry)));
    if (entries == nullptr) throw std::bad_alloc();
    std::memset(entries, 0, history.size() * sizeof(VexorLogEntry));
    // The count goes out only with the array it describes.
    *ppLogEntries = entries;
    *pNumEntries = static_cast<int32_t>(history.size());
    for (size_t i = 0; i < history.size(); ++i) {
        entries[i].time = history[i].time;
        entries[i].text = CopyOut(history[i].text);
    }
    return true;
}

#define VEXOR_SOURCE_OUT_POINTERS                                                                      \
    VEXOR_OUT(pSourceUrl), VEXOR_OUT(pProxyServer), VEXOR_OUT(pProxyPort), VEXOR_OUT(pProxyRequiresLogon), \
        VEXOR_OUT(pProxyUser), VEXOR_OUT(pProxyPassword), VEXOR_OUT(pLocalDirectory),                   \
        VEXOR_OUT(pNetShareDirectory), VEXOR_OUT(pNetShareUserName), VEXOR_OUT(pNetSharePassword),      \
        VEXOR_OUT(pError), VEXOR_OUT(pUseProxyServer)

#define VEXOR_FILL_SOURCE_OUT(record)                                          \
    const SourceInput values = SourceInput::From(record);                      \
    *pSourceUrl = CopyOut(values.address);                                     \
    *pUseProxyServer = values.use_proxy;                                       \
    *pProxyServer = CopyOut(values.proxy_name);                                \
    *pProxyPort = static_cast<int16_t>(values.proxy_port & 0xFFFF);            \
    *pProxyRequiresLogon = values.proxy_requires_logon;                        \
    *pProxyUser = CopyOut(values.proxy_user);                                  \
    *pProxyPassword = CopyOut(values.proxy_password);                          \
    *pLocalDirectory = CopyOut(values.local_directory);                        \
    *pNetShareDirectory = CopyOut(values.share_directory);                     \
    *pNetShareUserName = CopyOut(values.share_user);                           \
    *pNetSharePassword = CopyOut(values.share_password);

uint8_t UpdaterControlHandlers::UpdaterGetDatSettings(
    const RpcCaller&, int64_t* pUpdateInterval, int32_t* pDATSource, char16_t** pSourceUrl,
    uint8_t* pUseProxyServer, char16_t** pProxyServer, int16_t* pProxyPort, uint8_t* pProxyRequiresLogon,
    char16_t** pProxyUser, char16_t** pProxyPassword, char16_t** pLocalDirectory,
    char16_t** pNetShareDirectory, char16_t** pNetShareUserName, char16_t** pNetSharePassword,
    char16_t** pError) {
    // pUseProxyServer is checked too, after the others, rather than written
    // through unchecked.
    if (!CheckOutPointers(VEXOR_OUT(pUpdateInterval), VEXOR_OUT(pDATSource), VEXOR_SOURCE_OUT_POINTERS)) {
        return false;
    }
    LockGuard guard(core_);
    *pUpdateInterval = core_.UpdateInterval();
    *pDATSource = core_.DATSource();
    VEXOR_FILL_SOURCE_OUT(core_.DatSourceSettings())
    return true;
}

uint8_t UpdaterControlHandlers::UpdaterGetEngineSettings(
    const RpcCaller&, int32_t* pDownloaderType, char16_t** pSourceUrl, uint8_t* pUseProxyServer,
    char16_t** pProxyServer, int16_t* pProxyPort, uint8_t* pProxyRequiresLogon, char16_t** pProxyUser,
    char16_t** pProxyPassword, char16_t** pLocalDirectory, char16_t** pNetShareDirectory,
    char16_t** pNetShareUserName, char16_t** pNetSharePassword, char16_t** pError) {
    if (!CheckOutPointers(VEXOR_OUT(pDownloaderType), VEXOR_SOURCE_OUT_POINTERS)) return false;
    LockGuard guard(core_);
    *pDownloaderType = core_.EngineUpdateSource();
    VEXOR_FILL_SOURCE_OUT(core_.EngineSourceSettings())
    return true;
}

#undef VEXOR_FILL_SOURCE_OUT
#undef VEXOR_SOURCE_OUT_POINTERS

// Converts the eleven in-strings and flags of a set call into input.
#define VEXOR_CONVERT_SOURCE_IN(input, converter)                                         \
    converter.Text(SourceUrl, "SourceUrl", &input.address);                              \
    input.use_proxy = UseProxyServer != 0;                                                \
    converter.Text(ProxyServer, "ProxyServer", &input.proxy_name);                       \
    input.proxy_port = static_cast<uint16_t>(ProxyPort);                                  \
    input.proxy_requires_logon = ProxyRequiresLogon == 1;                                 \
    converter.Text(ProxyUser, "ProxyUser", &input.proxy_user);                           \
    converter.Password(ProxyPassword, "ProxyPassword", &input.proxy_password);           \
    converter.Text(LocalDirectory, "LocalDirectory", &input.local_directory);            \
    converter.Text(NetShareDirectory, "NetShareDirectory", &input.share_directory);      \
    converter.Text(NetShareUserName, "NetShareUserName", &input.share_user);             \
    converter.Password(NetSharePassword, "NetSharePassword", &input.share_password);

uint8_t UpdaterControlHandlers::UpdaterSetDatSettings(
    const RpcCaller&, int64_t UpdateInterval, int32_t DATSource, const char16_t* SourceUrl,
    uint8_t UseProxyServer, const char16_t* ProxyServer, int16_t ProxyPort, uint8_t ProxyRequiresLogon,
    const char16_t* ProxyUser, const char16_t* ProxyPassword, const char16_t* LocalDirectory,
    const char16_t* NetShareDirectory, const char16_t* NetShareUserName, const char16_t* NetSharePassword,
    char16_t** pError) {
    if (!CheckOutPointers(VEXOR_OUT(pError))) return false;
    SourceInput input;
    InputConverter converter;
    VEXOR_CONVERT_SOURCE_IN(input, converter)
    return ApplySettings(input, converter.error, true, UpdateInterval, DATSource, pError);
}

uint8_t UpdaterControlHandlers::UpdaterSetEngineSettings(
    const RpcCaller&, int32_t DownloaderType, const char16_t* SourceUrl, uint8_t UseProxyServer,
    const char16_t* ProxyServer, int16_t ProxyPort, uint8_t ProxyRequiresLogon, const char16_t* ProxyUser,
    const char16_t* ProxyPassword, const char16_t* LocalDirectory, const char16_t* NetShareDirectory,
    const char16_t* NetShareUserName, const char16_t* NetSharePassword, char16_t** pError) {
    if (!CheckOutPointers(VEXOR_OUT(pError))) return false;
    SourceInput input;
    InputConverter converter;
    VEXOR_CONVERT_SOURCE_IN(input, converter)
    return ApplySettings(input, converter.error, false, 0, DownloaderType, pError);
}

#undef VEXOR_CONVERT_SOURCE_IN

uint8_t UpdaterControlHandlers::ApplySettings(const SourceInput& input, const std::string& input_error,
                                              bool dat_source, int64_t interval, int32_t source_type,
                                              char16_t** pError) {
    core_.Log().Log(kLogTrace, "Updating settings...\r\n");
    std::string error = input_error;
    if (error.empty()) {
        // What other processes wrote since the service read the store (a
        // one-shot run's new set, an edit with vexor-reg) is taken first, so
        // the save below writes this change alone and puts back nothing stale.
        try {
            core_.Refresh();
        } catch (const ExceptionBase& e) {
            error = e.Message();
        }
    }
    if (error.empty()) {
        SourceSettings& record = dat_source ? core_.DatSourceSettings() : core_.EngineSourceSettings();
        int64_t old_interval = 0, old_next_check = 0;
        int32_t old_type = 0;
        SourceInput old_values;
        const auto set_type = [&](int32_t type) {
            dat_source ? core_.SetDATSource(type) : core_.SetEngineUpdateSource(type);
        };
        try {
            {
                LockGuard guard(core_);
                old_interval = core_.UpdateInterval();
                old_next_check = core_.NextCheckTime();
                old_type = dat_source ? core_.DATSource() : core_.EngineUpdateSource();
                old_values = SourceInput::From(record);
                if (dat_source) core_.SetUpdateInterval(interval);
                set_type(source_type);
                input.ApplyTo(record);
            }
            core_.Save(SaveScope::Everything);
        } catch (const ExceptionBase& e) {
            // Put memory back and write the old values again, so neither
            // keeps half of the new settings.
            {
                LockGuard guard(core_);
                core_.SetUpdateInterval(old_interval);
                core_.SetNextCheckTime(old_next_check);
                set_type(old_type);
                CleanUpQuietly([&] { old_values.ApplyTo(record); });
            }
            CleanUpQuietly([&] { core_.Save(SaveScope::Everything); });
            error = e.Message();
        }
    }
    if (!error.empty()) {
        event_log_.ReportError("Unable to update settings - %s", error.c_str());
        *pError = CopyOut(error);
        return false;
    }
    core_.Log().Log(kLogInformation, "Settings have been updated successfully.\r\n");
    return true;
}

}  // namespace TesselSoftware
