// Cleaning the object of a finished scan, as the DAT set's actions prescribe.
#pragma once

#include <string>

#include "CallbackChannel.h"
#include "Engine.h"
#include "ObjectScanner.h"

namespace VexorEngine {

// Sends one 0x416 when any finding cannot be cleaned (no action, or the scan
// was incomplete) or the rewrite fails, and changes nothing then. A top
// object whose signature says delete gets one 0x417 with action 4 and stays
// as it is. Otherwise the file at path is rewritten in place (through a
// temporary file beside it) without the signatures' bytes and without the
// members to delete, and each finding gets a 0x417 with action 1 or 2.
void CleanFile(const Engine& engine, CallbackChannel& channel, const std::string& path,
               const ScanOutcome& outcome);

}  // namespace VexorEngine
