#include "vexorctl/SplaySetting.h"

#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"

namespace TesselSoftware::VexorCtl {

std::optional<int64_t> ReadSplaySetting() {
    try {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
        uint32_t seconds = 0;
        key.ReadDword(kSplayValueName, 0, &seconds);
        return seconds;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string WriteSplaySetting(int64_t seconds) {
    try {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
        key.WriteDword(kSplayValueName, static_cast<uint32_t>(seconds));
        return {};
    } catch (const std::exception& e) {
        return std::string("splay is kept in the settings store, which only root may change (") + e.what() + ")";
    }
}

}  // namespace TesselSoftware::VexorCtl
