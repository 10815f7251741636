#include "service/ServiceLog.h"

#include <unistd.h>

#include "Common/Errors/ExceptionBase.h"
#include "Common/Files/FileSystemUtils.h"
#include "Common/Logging.h"
#include "Common/Logs/TextLog.h"
#include "Common/Registry/RegistryKey.h"

namespace TesselSoftware {

namespace {

// Longest folder value taken, in characters without the terminator.
constexpr size_t kMaxFolderValue = 260;

bool ReadFolder(const RegistryKey& key, const char* name, std::string* folder) {
    try {
        std::string value;
        if (!key.IsOpen() || !key.ReadString(name, "", &value) || value.size() > kMaxFolderValue) return false;
        *folder = value;
        return true;
    } catch (const ExceptionBase&) {
        return false;
    }
}

}  // namespace

std::string ProgramPath() {
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

std::string ProgramFolder() {
    const std::string path = ProgramPath();
    return path.empty() ? "" : ParentPath(path);
}

std::string ChooseLogFolder(const RegistryKey& product_key, const std::string& program_folder) {
    std::string folder;
    if (ReadFolder(product_key, "LogPath", &folder)) return folder;
    if (!ReadFolder(product_key, "InstallPath", &folder)) folder = program_folder;
    return CombinePath(folder, "Logs");
}

bool OpenUpdaterLog(CTextLog& log, const RegistryKey& product_key, const std::string& folder,
                    std::string* error) {
    if (!EnsureDirectory(folder, true)) {
        *error = folder;
        return false;
    }
    log.Open(CombinePath(folder, "VexorUpdater"), 7, 0, true, true, true);
    uint32_t mask = static_cast<uint32_t>(kLogDefaultMask);
    try {
        if (!product_key.IsOpen() || !product_key.ReadDword("LoggingFlags", mask, &mask)) {
            mask = static_cast<uint32_t>(kLogDefaultMask);
        }
    } catch (const ExceptionBase&) {
        mask = static_cast<uint32_t>(kLogDefaultMask);  // not a DWORD
    }
    log.SetLevelMask(static_cast<int32_t>(mask));
    return true;
}

}  // namespace TesselSoftware
