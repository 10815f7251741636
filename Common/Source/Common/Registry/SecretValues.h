// The update sources' passwords are kept apart from the settings: in the
// root-only secrets store (RegistryStore::Secrets()) under the same key and
// value names, so the settings store, which the gateway's account reads,
// holds none.
//
//   MoveSecretsOutOfSettings(kProductKeyPath);  // after an upgrade, as root
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace TesselSoftware {

// The value names below the product key that hold (scrambled) passwords.
const std::vector<std::string>& SecretValueNames();
// Compared ignoring ASCII case, as value names are.
bool IsSecretValueName(std::string_view name);

// Moves every password value still kept in the settings store under
// key_path into the secrets store, replacing what is there (the settings
// store's copy was written later), and deletes it from the settings store. Returns how many values were moved; throws
// CRegKeyException when a store cannot be read or written.
int MoveSecretsOutOfSettings(const std::string& key_path);

}  // namespace TesselSoftware
