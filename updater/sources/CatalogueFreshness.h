// Signed freshness of catalogues: a signature proves who made a catalogue,
// not that it is current. A mirror frozen on last week's validly signed
// catalogues, or one that hands back an older copy, is refused by the times
// the publisher signed into them (Minisign::SignedTimes):
//   - a catalogue past its "expires" time;
//   - one signed more than kSignedClockSkewSeconds ahead of this clock;
//   - one signed before the newest copy of that catalogue already accepted
//     for that kind of source (kept in the settings store, so it survives
//     restarts), or without a signing time once one with a time was.
//
//   const std::string refusal = CatalogueRefusal(kind, "avvdat.ini", times, now);
//   if (!refusal.empty()) ... throw, nothing of the file is used
//   RecordAcceptedCatalogue(kind, "avvdat.ini", times);
//
// Catalogues without times (and unsigned sources) are not checked. The
// store value is read as untrusted text: malformed lines are ignored.
// Callers serialise writes (the update pass lock).
#pragma once

#include <cstdint>
#include <string>

#include "Common/Signatures/Minisign.h"

namespace TesselSoftware {

enum class CatalogueKind { kDat, kEngine };

// How far ahead of this machine's clock a catalogue may have been signed.
inline constexpr int64_t kSignedClockSkewSeconds = 5 * 60;

// "" when the catalogue name of kind, signed with times, may be used at
// now; else the text of the refusal ("The signed catalogue 'avvdat.ini'
// expired on 2026-12-16 00:00 UTC: ...").
std::string CatalogueRefusal(CatalogueKind kind, const std::string& name, const Minisign::SignedTimes& times,
                             int64_t now);
// Remembers times.signed_at as the newest accepted for name of kind (a
// catalogue without a signing time changes nothing). Throws what the store
// throws.
void RecordAcceptedCatalogue(CatalogueKind kind, const std::string& name, const Minisign::SignedTimes& times);
// The newest signing time accepted for any catalogue of kind; 0 for none.
int64_t NewestSignedCatalogue(CatalogueKind kind);

}  // namespace TesselSoftware
