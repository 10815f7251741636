// One update pass at a time per machine: the service's scheduled or
// requested passes and "VexorDatUpdater -once" all hold this lock for the
// whole pass. Overlapping passes would wipe each other's build folders and
// record each other's sets.
#pragma once

#include <memory>
#include <string>

#include "Common/Platform/LockFile.h"

namespace TesselSoftware {

// The lock file's name in the runtime directory. It is root's alone (0600):
// no outside account can open it, so none can hold it to block the passes.
inline constexpr char kUpdatePassLockName[] = "vexor-update-pass.lock";
std::string UpdatePassLockPath();

// Takes the lock without waiting. nullptr with the reason in *message when
// another pass holds it or the lock file cannot be opened.
std::unique_ptr<ExclusiveLockFile> TakeUpdatePassLock(std::string* message);

}  // namespace TesselSoftware
