#include "service/OneShotRun.h"

#include <ostream>

#include "Common/Errors/ExceptionBase.h"
#include "Common/Logs/TextLog.h"
#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "core/UpdatePassLock.h"
#include "core/UpdaterCore.h"
#include "core/VexorUpdaterEventLog.h"
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
    auto pass_lock = TakeUpdatePassLock(&busy);
    if (!pass_lock) {
        err << "Error: " << busy << "\n";
        return kOnceFailed;
    }
    CTextLog& log = ServiceTextLog();
    OpenServiceLog(log, err);
    // A failed one-shot pass reaches the journal as a service pass does.
    UpdaterEventLog().Open();
    UpdaterCore core(log);
    core.SetMessageObserver([&out](const std::string& text) { out << text << "\n" << std::flush; });
    try {
        core.Load();
    } catch (const ExceptionBase& e) {
        err << "Error: " << e.Message() << "\n";
        return kOnceFailed;
    }
    core.ReportSignatureState();
    // Recorded as a service pass is (LastCheckTime, LastCheckResult, the
    // pass record), so health and metrics see it.
    const UpdaterCore::PassOutcome outcome = core.RunRecordedPass(std::move(pass_lock), busy);
    if (outcome.failed) {
        err << "Error: " << outcome.error << "\n";
        return kOnceFailed;
    }
    return outcome.installed ? kOnceInstalled : kOnceUpToDate;
}

}  // namespace TesselSoftware
