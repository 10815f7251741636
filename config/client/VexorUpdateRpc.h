// CVexorUpdateRpc: the administrators' tools' client of the updater
// service, one method per control procedure.
//
//   CVexorUpdateRpc rpc;
//   rpc.CreateBinding("VexorfTUpdater_RPC64");
//   std::string engine, dat;
//   if (!rpc.GetVersionInfo(engine, dat)) show(rpc.GetLastErrorText());
//
// Every method returns true on success and false when the service returned
// false (the thread's last error then holds the service's pError, or "No
// error message returned"); a call that fails in transport throws
// CRPCException with the method's text, ". Error " and the error's text.
// Outputs are cleared before each call. Safe for concurrent use; each thread
// sees only its own last error.
#pragma once

#include <cstdint>
#include <string>

#include "client/RPCBinding.h"
#include "client/RPCClientArray.h"
#include "client/RPCClientErrors.h"

namespace TesselSoftware::RPCClient {

inline constexpr char kUpdaterEndpoint[] = "VexorfTUpdater_RPC64";

// The connection values of one update source.
struct SourceValues {
    std::string source_url;
    bool use_proxy_server = false;
    std::string proxy_server;
    uint16_t proxy_port = 0;
    bool proxy_requires_logon = false;
    std::string proxy_user;
    std::string proxy_password;
    std::string local_directory;
    std::string net_share_directory;
    std::string net_share_user_name;
    std::string net_share_password;
    bool operator==(const SourceValues&) const = default;
};

struct DatSettings {
    int64_t update_interval = 0;  // seconds
    int32_t dat_source = 0;       // 0 internet, 1 network share, 2 local folder
    SourceValues source;
    bool operator==(const DatSettings&) const = default;
};

struct EngineSettings {
    int32_t downloader_type = 0;
    SourceValues source;
    bool operator==(const EngineSettings&) const = default;
};

struct UpdaterStatus {
    int64_t last_update = 0;  // seconds since 1970
    int64_t next_update = 0;
    bool is_update_running = false;
    std::string status;
};

class CVexorUpdateRpc : public CRPCBinding {
public:
    bool GetVersionInfo(std::string& engine_version, std::string& dat_version);
    void StartUpdate();
    void StopUpdate();
    bool GetStatus(UpdaterStatus& status);
    bool GetLogEntries(TRPCClientArray<VexorLogEntry>& entries);
    bool GetDatSourceSettings(DatSettings& settings);
    bool SetDatSourceSettings(const DatSettings& settings);
    bool GetEngineUpdateSettings(EngineSettings& settings);
    bool SetEngineUpdateSettings(const EngineSettings& settings);

private:
    // Runs call (which returns the service's result) with the thread's
    // pError slot; converts transport failures to CRPCException with
    // failure_text and a false result to the thread's last error.
    template <typename Call>
    bool Invoke(const char* failure_text, Call&& call);
};

}  // namespace TesselSoftware::RPCClient
