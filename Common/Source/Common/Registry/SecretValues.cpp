#include "Common/Registry/SecretValues.h"

#include <algorithm>
#include <optional>

#include "Common/Errors/Win32Error.h"
#include "Common/Registry/RegistryKey.h"

namespace TesselSoftware {

namespace {

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
               return fold(x) == fold(y);
           });
}

}  // namespace

const std::vector<std::string>& SecretValueNames() {
    static const std::vector<std::string> kNames = {
        "FTPPassword", "ProxyPassword", "Password", "EngineUpdateINETPassword",
        "EngineUpdateProxyPassword", "EngineUpdateUNCPassword"};
    return kNames;
}

bool IsSecretValueName(std::string_view name) {
    const auto& names = SecretValueNames();
    return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return SameName(n, name); });
}

int MoveSecretsOutOfSettings(const std::string& key_path) {
    RegistryKey settings;
    try {
        settings.Open(RegistryRoot::kLocalMachine, key_path, kKeyQueryValue | kKeySetValue);
    } catch (const CRegKeyException& e) {
        if (e.Code() == static_cast<int32_t>(Win32::kFileNotFound)) return 0;  // nothing stored yet
        throw;
    }
    int moved = 0;
    std::optional<RegistryKey> secrets;
    for (const std::string& name : SecretValueNames()) {
        if (!settings.ValueExists(name)) continue;
        if (!secrets) {
            secrets.emplace();
            secrets->Create(RegistryStore::Secrets()->Root(RegistryRoot::kLocalMachine), key_path);
        }
        // Whatever wrote the settings store's copy (an older version, an
        // import, a hand edit) wrote it after the secret was last moved:
        // it is the newer value.
        std::string stored;
        settings.ReadString(name, "", &stored);
        secrets->WriteString(name, stored);
        settings.DeleteValue(name);
        ++moved;
    }
    return moved;
}

}  // namespace TesselSoftware
