#include "client/VexorUpdateRpc.h"

#include <array>
#include <optional>

#include "Common/Errors/ErrorText.h"
#include "Common/Errors/Win32Error.h"
#include "Common/Text/TextConversion.h"
#include "rpc/UpdaterControlClient.h"

namespace TesselSoftware::RPCClient {

namespace {

namespace Stub = UpdaterControl::Client;

// Out-strings of one call, released whatever happens.
class OutStrings {
public:
    OutStrings() = default;
    OutStrings(const OutStrings&) = delete;
    ~OutStrings() {
        for (char16_t* text : slots_) RpcFree(text);
    }
    char16_t** Slot(size_t index) { return &slots_.at(index); }
    std::string Text(size_t index) const {
        return slots_.at(index) != nullptr ? WideToNarrow(slots_.at(index)) : std::string();
    }

private:
    std::array<char16_t*, 12> slots_{};
};

// An in-string of a set call; text that is not UTF-8 is refused here, so the
// conversion's error text never travels as a value.
std::u16string Wide(const std::string& text, const char* failure_text) {
    std::optional<std::u16string> wide = TryNarrowToWide(text);
    if (!wide) {
        throw CRPCException(static_cast<int32_t>(Win32::kInvalidParameter),
                            std::string(failure_text) + ". Error " +
                                FormatErrorText(Win32::kInvalidParameter, kErrorTextAuto));
    }
    return *wide;
}

// The eleven source values as they go out, converted once.
struct WideSource {
    WideSource(const SourceValues& values, const char* failure_text)
        : url(Wide(values.source_url, failure_text)), proxy(Wide(values.proxy_server, failure_text)),
          proxy_user(Wide(values.proxy_user, failure_text)),
          proxy_password(Wide(values.proxy_password, failure_text)),
          local(Wide(values.local_directory, failure_text)),
          share(Wide(values.net_share_directory, failure_text)),
          share_user(Wide(values.net_share_user_name, failure_text)),
          share_password(Wide(values.net_share_password, failure_text)) {}
    std::u16string url, proxy, proxy_user, proxy_password, local, share, share_user, share_password;
};

void ReadSource(const OutStrings& strings, uint8_t use_proxy, int16_t port, uint8_t requires_logon,
                SourceValues& values) {
    values.source_url = strings.Text(0);
    values.use_proxy_server = use_proxy != 0;
    values.proxy_server = strings.Text(1);
    values.proxy_port = static_cast<uint16_t>(port);
    values.proxy_requires_logon = requires_logon != 0;
    values.proxy_user = strings.Text(2);
    values.proxy_password = strings.Text(3);
    values.local_directory = strings.Text(4);
    values.net_share_directory = strings.Text(5);
    values.net_share_user_name = strings.Text(6);
    values.net_share_password = strings.Text(7);
}

constexpr char kVersionFailure[] = "Failed to get Vexor version info";
constexpr char kStartFailure[] = "Failed to start Vexor update";
constexpr char kCancelFailure[] = "Failed to cancel Vexor update";
constexpr char kStatusFailure[] = "Failed to get Vexor updater status";
constexpr char kLogFailure[] = "Failed to cancel Vexor updater log entries";
constexpr char kGetSettingsFailure[] = "Failed to get Vexor updater settings";
constexpr char kSetSettingsFailure[] = "Failed to set Vexor updater settings";

}  // namespace

template <typename Call>
bool CVexorUpdateRpc::Invoke(const char* failure_text, Call&& call) {
    RpcClientConnection* binding = Binding();
    if (binding == nullptr) throw CRPCException(0, "RPC binding is null");
    CThreadVariables& thread = ThreadVariables();
    thread.error.reset();
    char16_t* error = nullptr;
    bool result = false;
    try {
        result = call(*binding, &error);
    } catch (const RpcCallException& e) {
        const auto code = static_cast<uint32_t>(e.Code());
        throw CRPCException(e.Code(), std::string(failure_text) + ". Error " +
                                          FormatErrorText(code, kErrorTextAuto));
    }
    thread.error.reset(error);
    if (!result) {
        thread.last_error = error != nullptr ? WideToNarrow(error) : "No error message returned";
    }
    return result;
}

bool CVexorUpdateRpc::GetVersionInfo(std::string& engine_version, std::string& dat_version) {
    engine_version.clear();
    dat_version.clear();
    OutStrings strings;
    const bool ok = Invoke(kVersionFailure, [&](RpcClientConnection& binding, char16_t** error) {
        return Stub::UpdaterGetVersionInfo(binding, strings.Slot(0), strings.Slot(1), error) != 0;
    });
    if (ok) {
        engine_version = strings.Text(0);
        dat_version = strings.Text(1);
    }
    return ok;
}

void CVexorUpdateRpc::StartUpdate() {
    Invoke(kStartFailure, [](RpcClientConnection& binding, char16_t**) {
        Stub::UpdaterStartUpdate(binding);
        return true;
    });
}

void CVexorUpdateRpc::StopUpdate() {
    Invoke(kCancelFailure, [](RpcClientConnection& binding, char16_t**) {
        Stub::UpdaterCancelUpdate(binding);
        return true;
    });
}

bool CVexorUpdateRpc::GetStatus(UpdaterStatus& status) {
    status = UpdaterStatus{};
    OutStrings strings;
    uint8_t running = 0;
    UpdaterStatus read;
    const bool ok = Invoke(kStatusFailure, [&](RpcClientConnection& binding, char16_t**) {
        return Stub::UpdaterGetStatus(binding, &read.last_update, &read.next_update, &running,
                                      strings.Slot(0)) != 0;
    });
    if (ok) {
        read.is_update_running = running != 0;
        read.status = strings.Text(0);
        status = std::move(read);
    }
    return ok;
}

bool CVexorUpdateRpc::GetLogEntries(TRPCClientArray<VexorLogEntry>& entries) {
    entries.Clear();
    int32_t count = 0;
    VexorLogEntry* array = nullptr;
    const bool ok = Invoke(kLogFailure, [&](RpcClientConnection& binding, char16_t** error) {
        return Stub::UpdaterGetLogEntries(binding, &count, &array, error) != 0;
    });
    // Whatever came back is owned here; only a success hands it on.
    TRPCClientArray<VexorLogEntry> discarded;
    (ok ? entries : discarded).Adopt(array, count);
    return ok;
}

bool CVexorUpdateRpc::GetDatSourceSettings(DatSettings& settings) {
    settings = DatSettings{};
    OutStrings strings;
    uint8_t use_proxy = 0, requires_logon = 0;
    int16_t port = 0;
    DatSettings read;
    const bool ok = Invoke(kGetSettingsFailure, [&](RpcClientConnection& binding, char16_t** error) {
        return Stub::UpdaterGetDatSettings(binding, &read.update_interval, &read.dat_source, strings.Slot(0),
                                           &use_proxy, strings.Slot(1), &port, &requires_logon,
                                           strings.Slot(2), strings.Slot(3), strings.Slot(4), strings.Slot(5),
                                           strings.Slot(6), strings.Slot(7), error) != 0;
    });
    if (ok) {
        ReadSource(strings, use_proxy, port, requires_logon, read.source);
        settings = std::move(read);
    }
    return ok;
}

bool CVexorUpdateRpc::GetEngineUpdateSettings(EngineSettings& settings) {
    settings = EngineSettings{};
    OutStrings strings;
    uint8_t use_proxy = 0, requires_logon = 0;
    int16_t port = 0;
    EngineSettings read;
    const bool ok = Invoke(kGetSettingsFailure, [&](RpcClientConnection& binding, char16_t** error) {
        return Stub::UpdaterGetEngineSettings(binding, &read.downloader_type, strings.Slot(0), &use_proxy,
                                              strings.Slot(1), &port, &requires_logon, strings.Slot(2),
                                              strings.Slot(3), strings.Slot(4), strings.Slot(5),
                                              strings.Slot(6), strings.Slot(7), error) != 0;
    });
    if (ok) {
        ReadSource(strings, use_proxy, port, requires_logon, read.source);
        settings = std::move(read);
    }
    return ok;
}

bool CVexorUpdateRpc::SetDatSourceSettings(const DatSettings& settings) {
    const WideSource in(settings.source, kSetSettingsFailure);
    const SourceValues& v = settings.source;
    return Invoke(kSetSettingsFailure, [&](RpcClientConnection& binding, char16_t** error) {
        return Stub::UpdaterSetDatSettings(binding, settings.update_interval, settings.dat_source, in.url.c_str(),
                                           v.use_proxy_server, in.proxy.c_str(), static_cast<int16_t>(v.proxy_port),
                                           v.proxy_requires_logon, in.proxy_user.c_str(), in.proxy_password.c_str(),
                                           in.local.c_str(), in.share.c_str(), in.share_user.c_str(),
                                           in.share_password.c_str(), error) != 0;
    });
}

bool CVexorUpdateRpc::SetEngineUpdateSettings(const EngineSettings& settings) {
    const WideSource in(settings.source, kSetSettingsFailure);
    const SourceValues& v = settings.source;
    return Invoke(kSetSettingsFailure, [&](RpcClientConnection& binding, char16_t** error) {
        return Stub::UpdaterSetEngineSettings(binding, settings.downloader_type, in.url.c_str(), v.use_proxy_server,
                                              in.proxy.c_str(), static_cast<int16_t>(v.proxy_port),
                                              v.proxy_requires_logon, in.proxy_user.c_str(),
                                              in.proxy_password.c_str(), in.local.c_str(), in.share.c_str(),
                                              in.share_user.c_str(), in.share_password.c_str(), error) != 0;
    });
}

}  // namespace TesselSoftware::RPCClient
