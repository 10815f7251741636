// Verify before switch: a new DAT set (or a new engine) is started once in
// a child process before it is configured. The child loads the engine
// library from the engine folder, calls AVInitialise on the set and AVClose;
// an engine that fails, hangs or crashes there only ends the child.
//
//   const std::string reason = CheckDatSetStarts(engine_folder, candidate_set);
//   if (!reason.empty()) ...  // never switch the set in
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace TesselSoftware {

inline constexpr int64_t kEngineStartCheckTimeoutMs = 120000;
// The checker program, installed beside VexorDatUpdater.
inline constexpr char kEngineCheckProgramName[] = "vexor-engine-check";
// The three definition files every set holds at its top level, in the
// order the engine takes them.
inline constexpr const char* kDatFileNames[] = {"avvscan.dat", "avvnames.dat", "avvclean.dat"};

// "" when set_folder holds the three DAT files as regular, non-empty files
// at its top level; otherwise what is wrong ("avvscan.dat is missing").
std::string CheckDatFilesPresent(const std::string& set_folder);

// Starts the engine of engine_folder on set_folder in the checker program
// (with set_folder "", only loads it and looks up its entry points).
// "" when it started and closed; otherwise the reason ("the engine refused
// the set: AVInitialise returned 4", "the engine crashed (signal 11)", ...).
// What the checker could not take from itself before the engine ran (an
// unprivileged run has no network namespace of its own) is added to
// *skipped when given. Never throws.
std::string CheckDatSetStarts(const std::string& engine_folder, const std::string& set_folder,
                              int64_t timeout_ms = kEngineStartCheckTimeoutMs,
                              std::vector<std::string>* skipped = nullptr);

// The unprivileged account the checker becomes when the service is root: a
// system account in group vexor, so it may read the DAT sets and no more.
inline constexpr char kEngineCheckAccount[] = "vexor-check";

// The account the checker is asked to become: kEngineCheckAccount, or none
// in a scratch system root (VEXOR_SYSTEM_ROOT), whose folders that account
// has no reason to see; a test may name another. Not thread-safe to change.
std::string EngineCheckAccount();
void SetEngineCheckAccountForTesting(const std::string& account);

// Where the checker program is: beside the running program, unless a test
// named another one. Not thread-safe to change.
std::string EngineCheckProgram();
void SetEngineCheckProgramForTesting(const std::string& path);

}  // namespace TesselSoftware
