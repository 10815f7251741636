#include "core/UpdatePassLock.h"

#include "Common/Errors/ErrorText.h"
#include "Common/Errors/Win32Error.h"
#include "Common/Files/FileSystemUtils.h"
#include "Common/Platform/MachineLayout.h"

namespace TesselSoftware {

std::string UpdatePassLockPath() { return MachineLayout::RuntimeDirectory() + "/" + kUpdatePassLockName; }

std::unique_ptr<ExclusiveLockFile> TakeUpdatePassLock(std::string* message) {
    uint32_t error = 0;
    const std::string path = UpdatePassLockPath();
    EnsureDirectory(MachineLayout::RuntimeDirectory(), true);
    auto lock = ExclusiveLockFile::TryAcquireAt(path, &error);
    if (lock) return lock;
    if (error == Win32::kBusy) {
        *message = "Another update pass is running on this machine; try again when it has finished.";
    } else {
        *message = "The update pass lock " + path + " cannot be taken - " + FormatErrorText(error);
    }
    return nullptr;
}

}  // namespace TesselSoftware
