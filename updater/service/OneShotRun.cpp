#include "service/OneShotRun.h"

#include <ostream>

#include "Common/ExceptionBase.h"
#include "Common/FileSystemUtils.h"
#include "Common/Platform/MachineLayout.h"
#include "Common/ProductKey.h"
#include "Common/RegistryKey.h"
#include "Common/TextLog.h"
#include "core/UpdatePassLock.h"
#include "core/UpdaterCore.h"

namespace TesselSoftware {

namespace {

// LogPath and LoggingFlags are set by the installation; a missing or
// unusable value falls back to the default folder and mask.
void OpenServiceLog(CTextLog& log, std::ostream& err) {
    std::string folder = MachineLayout::DefaultLogPath();
    uint32_t mask = static_cast<uint32_t>(kLogDefaultMask);
    try {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
        key.ReadString("LogPath", folder, &folder);
        if (!key.ReadDword("LoggingFlags", mask, &mask)) mask = static_cast<uint32_t>(kLogDefaultMask);
    } catch (const ExceptionBase&) {
        mask = static_cast<uint32_t>(kLogDefaultMask);
    }
    if (!EnsureDirectory(folder, true)) {
        err << "Warning: cannot create the log folder " << folder << "\n";
    }
    if (!log.Open(CombinePath(folder, "VexorUpdater"), 7, 0, true, true, true)) {
        err << "Warning: " << log.OpenError() << "\n";
    }
    log.SetLevelMask(static_cast<int32_t>(mask));
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
