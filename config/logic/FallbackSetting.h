// The fallback sites of a kind of source (FallbackSites for DAT files,
// EngineUpdateFallbackSites for the engine). Like the splay, the control
// endpoint does not carry them: vexorctl and the configuration tool read
// them from the settings store, vexorctl writes them there (root only); the
// service reads them at the start of each pass.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace TesselSoftware::VexorConfig {

// The stored list (empty when none is stored), or nullopt when the store
// cannot be read.
std::optional<std::vector<std::string>> ReadFallbackSetting(bool dat);

// The addresses of "URL[,URL...]" ("" clears the list); "" in *problem
// when each is usable (a site URL, or an absolute folder for folder and
// share sources), else why not.
std::vector<std::string> ParseFallbackList(const std::string& text, std::string* problem);

// "" when sites were stored; otherwise why not.
std::string WriteFallbackSetting(bool dat, const std::vector<std::string>& sites);

}  // namespace TesselSoftware::VexorConfig
