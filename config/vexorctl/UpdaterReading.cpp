#include "vexorctl/UpdaterReading.h"

#include <algorithm>
#include <charconv>
#include <vector>

#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "sources/CatalogueFreshness.h"
#include "core/PassRecord.h"
#include "vexorctl/PassHistory.h"
#include "vexorctl/TerminalText.h"

namespace TesselSoftware::VexorCtl {

namespace {

using RPCClient::CRPCException;
using RPCClient::CVexorUpdateRpc;
using RPCClient::UpdaterStatus;

constexpr uint32_t kAccessDeniedCode = 5;
// Times beyond this (the year 2200) are no time the service wrote.
constexpr int64_t kLatestPlausibleTime = 7258118400;

// The service's DAT version text: a number, or "Version Unknown" when no
// set is installed; anything else is not an answer the service gives.
std::optional<uint32_t> ParseDatVersion(const std::string& text) {
    if (text == "Version Unknown") return 0;
    uint32_t version = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), version);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return version;
}

bool PlausibleTime(int64_t seconds) { return seconds >= 0 && seconds <= kLatestPlausibleTime; }

// The service's half; false (with the reading's service fields set) when
// it did not give a usable answer.
bool AskService(CVexorUpdateRpc& rpc, UpdaterReading* reading) {
    using Service = UpdaterReading::Service;
    try {
        std::string engine, dat;
        UpdaterStatus status;
        std::vector<HistoryLine> history;
        if (!rpc.GetVersionInfo(engine, dat) || !rpc.GetStatus(status) || !ReadHistory(rpc, &history)) {
            reading->service = Service::kMalformed;
            reading->service_error = "the service refused: " + Trimmed(rpc.GetLastErrorText());
            return false;
        }
        const std::optional<uint32_t> version = ParseDatVersion(dat);
        if (!version || !PlausibleTime(status.last_update) || !PlausibleTime(status.next_update)) {
            reading->service = Service::kMalformed;
            reading->service_error = "the service's answer is malformed (DAT version '" + dat + "', last check " +
                                     std::to_string(status.last_update) + ")";
            return false;
        }
        reading->service = Service::kAnswered;
        reading->engine_version = engine;
        reading->dat_version = version;
        reading->last_check = status.last_update;
        reading->next_check = status.next_update;
        reading->update_running = status.is_update_running;
        const auto end = std::find_if(history.rbegin(), history.rend(), IsPassEnd);
        if (end != history.rend()) {
            reading->last_pass_failed = IsPassFailure(*end);
            if (IsPassFailure(*end)) reading->last_error = Trimmed(end->text.substr(7));
        }
        return true;
    } catch (const CRPCException& e) {
        reading->service = e.Code() == kAccessDeniedCode ? Service::kAccessDenied : Service::kUnreachable;
        reading->service_error = Trimmed(e.Message());
        return false;
    }
}

// The store's half: the installation time, and the machine's pass record,
// which knows the newest pass of any process (a one-shot run's too) and its
// end even while the service is down; the version when the service could
// not tell it.
void ReadStore(UpdaterReading* reading) {
    try {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
        uint64_t installed = 0;
        key.ReadQword("LastUpdateTime", 0, &installed);
        reading->dat_installed = PlausibleTime(static_cast<int64_t>(installed)) ? static_cast<int64_t>(installed) : 0;
        reading->dat_catalogue_signed = NewestSignedCatalogue(CatalogueKind::kDat);
        reading->engine_catalogue_signed = NewestSignedCatalogue(CatalogueKind::kEngine);
        if (reading->service != UpdaterReading::Service::kAnswered) {
            uint32_t version = 0;
            key.ReadDword("DATVersion", 0, &version);
            reading->dat_version = version;
        }
        const PassRecord record = ReadPassRecord();
        if (PlausibleTime(record.last_check)) reading->last_check = std::max(reading->last_check, record.last_check);
        if (record.ended > 0) {
            reading->last_pass_failed = record.Failed();
            reading->last_error = record.Failed() ? Trimmed(record.result.substr(7)) : std::string();
        }
    } catch (const std::exception& e) {
        reading->store_error = Trimmed(e.what());
    }
}

}  // namespace

UpdaterReading ReadUpdater(CVexorUpdateRpc& rpc) {
    UpdaterReading reading;
    AskService(rpc, &reading);
    ReadStore(&reading);
    return reading;
}

}  // namespace TesselSoftware::VexorCtl
