#include "core/UpdatePassLock.h"

#include "Common/Errors/ErrorText.h"
#include "Common/Errors/Win32Error.h"
#include "Common/Platform/MachineLayout.h"

namespace TesselSoftware {

std::unique_ptr<ExclusiveLockFile> TakeUpdatePassLock(std::string* message) {
    uint32_t error = 0;
    auto lock = ExclusiveLockFile::TryAcquire(kUpdatePassLockName, &error);
    if (lock) return lock;
    if (error == Win32::kBusy) {
        *message = "Another update pass is running on this machine; try again when it has finished.";
    } else {
        *message = "The update pass lock " + MachineLayout::LockDirectory() + "/" +
                   kUpdatePassLockName + " cannot be taken - " + FormatErrorText(error);
    }
    return nullptr;
}

}  // namespace TesselSoftware
