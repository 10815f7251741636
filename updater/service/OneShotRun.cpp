#include "service/OneShotRun.h"

#include <ostream>

#include "Common/Errors/ExceptionBase.h"
#include "Common/Logs/TextLog.h"
#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "core/UpdatePassLock.h"
#include "core/UpdaterCore.h"
#include "service/ServiceLog.h"

namespace TesselSoftware {

namespace {

// The service's own log, so a one-shot pass is traced where the service's
// passes are.
void OpenServiceLog(CTextLog& log, std::ostream& err) {
    RegistryKey key;
    try {
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
    } catch (const ExceptionBase&) {
        // No product key yet: the defaults stand.
    }
    const std::string folder = ChooseLogFolder(key, ProgramFolder());
    std::string error;
    if (!OpenUpdaterLog(log, key, folder, &error)) err << "Warning: cannot create the log folder " << folder << "\n";
}

}  // namespace

int RunOnce(std::ostream& out, std::ostream& err) {
    // Before anything else: a pass already running must not be disturbed,
    // not even by a line in the log.
    std::string busy;
    const auto pass_lock = TakeUpdatePassLock(&busy);
    if (!pass_lock) {
        err << "Error: " << busy << "\n";
        return kOnceFailed;
    }
    CTextLog& log = ServiceTextLog();
    OpenServiceLog(log, err);
    UpdaterCore core(log);
    core.SetMessageObserver([&out](const std::string& text) { out << text << "\n" << std::flush; });
    try {
        core.Load();
        core.ReportSignatureState();
        std::string untrusted;
        if (!core.UseTrustedKeys(&untrusted)) throw ExceptionBase(untrusted);
        core.ClearCancel();
        core.SetUpdating(true);
        // The engine first, as every service pass does; its failure skips
        // the DAT pass.
        const bool new_engine = core.GetEngineUpdater().RunEngineUpdate();
        const bool installed = core.GetDatUpdater().RunDatUpdate() || new_engine;
        core.SetUpdating(false);
        return installed ? kOnceInstalled : kOnceUpToDate;
    } catch (const ExceptionBase& e) {
        core.SetUpdating(false);
        err << "Error: " << e.Message() << "\n";
        return kOnceFailed;
    }
}

}  // namespace TesselSoftware
