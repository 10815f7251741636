// The text log the updater writes, wherever it runs (service, console
// debugging or the one-shot run).
#pragma once

#include <string>

namespace TesselSoftware {

class CTextLog;
class RegistryKey;

// The log folder: LogPath exactly as stored (a string of at most 260
// characters), else InstallPath + "Logs", else the program's folder +
// "Logs". Never throws.
std::string ChooseLogFolder(const RegistryKey& product_key, const std::string& program_folder);

// This program's file, and its folder ("" when it cannot be told).
std::string ProgramPath();
std::string ProgramFolder();

// Creates folder and opens log in it as "VexorUpdater" (seven days kept, the
// lock, thread column and version header on) with LoggingFlags (or every
// level but bit 0) as its mask. False with *error set when the folder cannot
// be created; a log that cannot open its file keeps running without one.
bool OpenUpdaterLog(CTextLog& log, const RegistryKey& product_key, const std::string& folder,
                    std::string* error);

}  // namespace TesselSoftware
