// What the engine start check takes from itself before it loads a new
// engine: an engine release is native code from an update source, and the
// check runs it before anything has vouched for it beyond its signature.
//
//   const std::vector<std::string> skipped = ConfineEngineCheck();
//
// Applied, each where the process may: no new privileges (set-user-id
// programs the engine starts gain nothing), a network namespace of its own
// with no interface (root only), and limits: no file may be written or
// grown, CPU time and address space are bounded. Last, a process started as
// root becomes `account` (its own groups included), so the engine runs with
// no more rights than reading the candidate needs; "" keeps root's account.
// Returns what could not be applied, one text each. Call it once, before the
// engine is loaded.
#pragma once

#include <string>
#include <vector>

namespace TesselSoftware {

std::vector<std::string> ConfineEngineCheck(const std::string& account);

}  // namespace TesselSoftware
