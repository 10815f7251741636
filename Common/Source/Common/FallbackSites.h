// Fallback sites: the ordered further sites of each kind of source, kept in
// the settings store (REG_MULTI_SZ, written by root only). The service turns
// to them when a pass fails on a site; vexorctl writes them; the
// configuration tool shows them. One rule says what an entry may be, so the
// tool refuses exactly what the service would skip.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

#include "Common/Text/TextConversion.h"

namespace TesselSoftware {

inline constexpr char kDatFallbackSitesValue[] = "FallbackSites";
inline constexpr char kEngineFallbackSitesValue[] = "EngineUpdateFallbackSites";
// More than any sensible list; entries beyond it are ignored.
inline constexpr size_t kMaxFallbackSites = 8;
inline constexpr size_t kMaxSiteAddressBytes = 1024;

// A site address: not blank and without blank ends, no control
// characters, UTF-8, and at most kMaxSiteAddressBytes.
inline bool UsableSiteAddress(std::string_view address) {
    return !address.empty() && address.front() != ' ' && address.back() != ' ' &&
           address.size() <= kMaxSiteAddressBytes && IsValidUtf8(address) &&
           std::none_of(address.begin(), address.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

}  // namespace TesselSoftware
