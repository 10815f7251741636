#include "core/PassRecord.h"

#include "Common/Errors/Win32Error.h"
#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"

namespace TesselSoftware {

PassRecord ReadPassRecord() {
    RegistryKey key;
    try {
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
    } catch (const CRegKeyException& e) {
        if (e.Code() == static_cast<int32_t>(Win32::kFileNotFound)) return {};
        throw;
    }
    PassRecord record;
    key.ReadQword(kPassNumberValue, 0, &record.started);
    key.ReadQword(kPassEndedValue, 0, &record.ended);
    key.ReadString(kPassResultValue, "", &record.result);
    uint64_t last_check = 0;
    key.ReadQword("LastCheckTime", 0, &last_check);
    record.last_check = static_cast<int64_t>(last_check);
    return record;
}

}  // namespace TesselSoftware
