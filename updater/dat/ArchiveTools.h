// The update runs' tools that touch the outside world: the archive program
// (7za, from InstallPath or else PATH), child processes with a time-out,
// MD5 checks of downloaded files and folder deletion with clear errors.
// All run on the calling thread and block it.
#pragma once

#include <cstdint>
#include <string>

#include "Common/Logging.h"

namespace TesselSoftware {

inline constexpr int64_t kUnzipTimeoutMs = 300000;
inline constexpr int64_t kZipTimeoutMs = 120000;

// The folder the archive program is taken from: InstallPath (ending in "/")
// when it holds "7za", else "" (found on PATH).
std::string ArchiveToolFolder();

// "\"<tool>7za\" x -y -p\"\" -o\"<output>\" \"<archive>\"", run with a
// 5-minute limit. A non-zero exit throws CTLVexorNetException "Unzip failed
// for file <archive>.\r\n"; RunAndWait's exceptions pass on.
void UnzipArchive(const std::string& archive, const std::string& output_folder, ILogging& log,
                  int64_t timeout_ms = kUnzipTimeoutMs);
// The total unpacked size the archive's listing ("7za l -slt") declares for
// its entries, within the extraction's time limit. Throws
// CTLVexorNetException "Unzip failed for file <archive>.\r\n" with the
// reason when the archive cannot be listed.
uint64_t ListedUnpackedSize(const std::string& archive, ILogging& log,
                            int64_t timeout_ms = kUnzipTimeoutMs);
// Unpacks an archive an update source delivered into output_folder, as a
// DAT set or an engine release is: refused before a byte is written when
// its listing unpacks past MaxUpdateFileBytes(), and refused after when it
// held a link, a device or another special file. Throws
// CTLVexorNetException "Unzip failed for file <archive>.\r\n" with the reason.
void UnpackUntrustedArchive(const std::string& archive, const std::string& output_folder, ILogging& log,
                            int64_t timeout_ms = kUnzipTimeoutMs);
// "\"<tool>7za\" a \"<archive>\" \"<contents>\"", 2-minute limit; throws
// CTLVexorNetException "Zip failed for file <archive>.\r\n".
void ZipFolder(const std::string& contents, const std::string& archive, ILogging& log,
               int64_t timeout_ms = kZipTimeoutMs);

// Runs the command line (split by the Windows quoting rules) and returns the
// child's exit code. Throws ExceptionBase "Failed to execute <cmd>, error =
// ...", "Wait for command - ..." or, after killing the child at the time-out,
// "Timed out waiting for  <cmd>, error = Wait Timeout".
// With output given, the child's standard output is kept there (at most
// max_output bytes).
int32_t RunAndWait(const std::string& command_line, int64_t timeout_ms,
                   std::string* output = nullptr, size_t max_output = 0);

// The file's MD5 as 32 lower-case hex digits, "" when it cannot be read.
std::string FileMd5Hex(const std::string& path);
// True when expected is empty, or the file's MD5 equals expected ignoring
// case. The file is opened read-only. Failures are logged at level 2.
bool CheckFileMD5(const std::string& path, const std::string& expected, ILogging& log);

// Deletes folder and everything in it; a missing folder whose parent exists
// counts as deleted. Throws ExceptionBase on failure.
void DeleteFolderAndContents(const std::string& folder);

}  // namespace TesselSoftware
