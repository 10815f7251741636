#include "service/VexorUpdaterService.h"

#include "Common/Errors/ExceptionBase.h"
#include "Common/Logs/TextLog.h"
#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "core/VexorUpdaterEventLog.h"
#include "rpc/UpdaterControlServer.h"
#include "service/ServiceLog.h"

namespace TesselSoftware {

CVexorUpdaterService::CVexorUpdaterService()
    : core_(ServiceTextLog()), handlers_(core_, UpdaterEventLog()) {}

int CVexorUpdaterService::StartFailed(const std::string& reason) {
    ReportServiceStatus(ServiceState::kStopped, 0, reason);
    return 1;
}

int CVexorUpdaterService::Run(const std::vector<std::string>& /*args*/) {
    CTextLog& log = ServiceTextLog();
    log.SetConsoleEcho(IsDebug());
    ReportServiceStatus(ServiceState::kStartPending, 15000, "Starting");
    CVexorUpdaterEventLog& events = UpdaterEventLog();
    if (!events.Register() || !events.Open()) {
        return StartFailed("The event source could not be registered: " + events.LastError());
    }
    events.ReportInformation("Starting Vexor DAT Updater...\n");
    ReportServiceStatus(ServiceState::kStartPending, 15000);
    ReportServiceStatus(ServiceState::kStartPending, 5000);

    RegistryKey key;
    try {
        key.Create(RegistryRoot::kLocalMachine, kProductKeyPath, "", 0, kKeyRead | kKeySetValue | kKeyCreateSubKey);
    } catch (const ExceptionBase&) {
        events.ReportError("Unable to start DAT File Updater\r\nRegistry key could not be created: %s",
                           kProductKeyPath);
        return StartFailed(std::string("The registry key could not be created: ") + kProductKeyPath);
    }
    const std::string folder = ChooseLogFolder(key, ProgramFolder());
    std::string error;
    log.SetConsoleEcho(IsDebug());
    if (!OpenUpdaterLog(log, key, folder, &error)) {
        events.ReportError("Unable to start DAT File Updater.\r\nLogging directory <%s> does not exist.",
                           folder.c_str());
        return StartFailed("The logging folder " + folder + " could not be created");
    }

    core_.SetEventLog(&events);
    core_.SetControlInterface(UpdaterControl::ServerInterface(handlers_));
    // Ready only once the settings are loaded and the endpoint listens, so
    // "systemctl start" followed by a control call never finds it missing.
    core_.SetReadyCallback([this] { ReportServiceStatus(ServiceState::kRunning, 0, "Idle"); });
    core_.SetStopRequester([this] { Stop(); });
    if (!core_.RunLoop()) {
        events.ReportError("Unable to start DAT File Updater\n");
        return StartFailed("The update loop is already running");
    }
    key.Close();
    const std::string failure = core_.StartFailure();
    return failure.empty() ? 0 : StartFailed(failure);
}

void CVexorUpdaterService::Stop() {
    UpdaterEventLog().ReportInformation("%s Requested to Stop.", GetDisplayName().c_str());
    core_.Stop();
}

}  // namespace TesselSoftware
