// CVexorUpdaterService: the updater's service body. Run prepares the event
// log, the product key, the log folder and the text log, then gives its
// thread to the UpdaterCore's service loop until it is stopped; Stop asks
// the loop to end.
#pragma once

#include "control/UpdaterControlHandlers.h"
#include "core/UpdaterCore.h"
#include "service/ConsoleService.h"

namespace TesselSoftware {

class CVexorUpdaterService final : public CConsoleService {
public:
    CVexorUpdaterService();

    // 0 after a requested stop; 1, with the reason reported to systemd,
    // when the service could not start.
    int Run(const std::vector<std::string>& args) override;
    void Stop() override;
    std::string GetDisplayName() const override { return "Tessel Vexor Updater (64 bit)"; }
    std::string GetServiceName() const override { return "VexorDatUpdater64"; }

    UpdaterCore& Core() { return core_; }

private:
    int StartFailed(const std::string& reason);

    UpdaterCore core_;
    UpdaterControlHandlers handlers_;
};

}  // namespace TesselSoftware
