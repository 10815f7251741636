// Fallback sites: per kind of source, an ordered list of further addresses
// (a mirror's origin, a second mirror) that a pass turns to when it cannot
// complete from the configured one.
//
//   const auto fallbacks = ReadFallbackSites(kDatFallbackSitesValue);
//   return RunOverSites(settings.DatSourceSettings(), settings.DATSource(), fallbacks, progress,
//                       [&](SourceSettings& site) { return OnePassFrom(site); });
//
// Each attempt is a whole pass from its start against one site: a pass
// never mixes the files of two sites. Any failure of an attempt (no answer,
// a time-out, a 5xx, a cool-down, a missing, bad, expired or replayed
// signature, a damaged file) moves on to the next site, except a cancel;
// the history names each site's failure, and the pass fails only when
// every site failed, naming each one's reason.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Common/FallbackSites.h"
#include "core/SourceSettings.h"
#include "core/UpdateProgress.h"

namespace TesselSoftware {

// The stored list (kDatFallbackSitesValue or kEngineFallbackSitesValue),
// read as untrusted text: entries that are not UsableSiteAddress are
// skipped, as are those past kMaxFallbackSites. Empty when the value is missing or unreadable.
std::vector<std::string> ReadFallbackSites(const char* value_name);

// The address field of configured that source_type uses: the URL for an
// internet source, the folder for a local or a share source.
std::string SiteAddress(const SourceSettings& configured, int32_t source_type);

// Runs attempt with configured, then, while it throws, with a copy of
// configured whose address field (SiteAddress) is each fallback in turn.
// Returns what the first attempt that completes returns; rethrows a cancel
// at once; after every site failed, throws CTLVexorNetException "Every
// update site failed: '<site>': <reason>; ...". Without fallbacks it is
// attempt(configured).
bool RunOverSites(SourceSettings& configured, int32_t source_type, const std::vector<std::string>& fallbacks,
                  IUpdateProgress& progress, const std::function<bool(SourceSettings& site)>& attempt);

}  // namespace TesselSoftware
