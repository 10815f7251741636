// What vexorctl's monitoring commands know of the updater at one moment:
// the service's answers through its control endpoint, and what the settings
// store (readable by group vexor) holds that the endpoint does not carry.
//
//   CVexorUpdateRpc rpc;  rpc.CreateBinding(kUpdaterEndpoint);
//   const UpdaterReading reading = ReadUpdater(rpc);
//   const HealthVerdict verdict = JudgeHealth(reading, std::time(nullptr), limits);
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "client/VexorUpdateRpc.h"

namespace TesselSoftware::VexorCtl {

struct UpdaterReading {
    enum class Service { kAnswered, kUnreachable, kAccessDenied, kMalformed };
    Service service = Service::kUnreachable;
    std::string service_error;  // why the service did not answer, or what was malformed

    // From the service when it answered.
    std::string engine_version;
    bool update_running = false;
    int64_t next_check = 0;  // seconds since 1970, 0 when none is planned
    // How the newest pass ended: failed (with its error) or not; from the
    // machine's pass record, else from the service's history; unknown when
    // neither holds a pass end.
    std::optional<bool> last_pass_failed;
    std::string last_error;

    // From the service, else from the store.
    std::optional<uint32_t> dat_version;  // 0: no set installed
    // The newer of the service's and the store's last check (a one-shot
    // run records its own); 0: never checked.
    int64_t last_check = 0;
    // From the store only: when the installed set was installed (0 unknown).
    int64_t dat_installed = 0;
    // From the store only: the newest signing time of an accepted catalogue
    // per kind of source (0: none carried one).
    int64_t dat_catalogue_signed = 0;
    int64_t engine_catalogue_signed = 0;
    std::string store_error;  // why the store could not be read, "" when it was
};

// Asks the service (GetVersionInfo, GetStatus, GetLogEntries) and reads the
// store. Never throws: a transport failure, a refusal and access denied are
// recorded in the reading.
UpdaterReading ReadUpdater(RPCClient::CVexorUpdateRpc& rpc);

}  // namespace TesselSoftware::VexorCtl
