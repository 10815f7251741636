// Storing texts into host-owned ScannerText slots (malloc'ed strings).
#pragma once

#include <string>

#include "TSVexor/Scanner.h"

namespace TesselSoftware {

// Frees the slot's previous string and stores a malloc'ed copy of text. A
// failed allocation leaves the slot empty. Null slots are ignored.
void SetScannerText(ScannerText* slot, const std::string& text);
// Frees the slot's string and leaves it empty.
void ClearScannerText(ScannerText* slot);
// The slot's text, or "".
std::string ScannerTextOf(const ScannerText* slot);

}  // namespace TesselSoftware
