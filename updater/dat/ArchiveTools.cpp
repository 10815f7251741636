#include "dat/ArchiveTools.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <string_view>
#include <strings.h>
#include <vector>

#include "Common/Errors/ErrorText.h"
#include "Common/Errors/ExceptionBase.h"
#include "Common/Errors/Win32Error.h"
#include "Common/Files/FileSystemUtils.h"
#include "Common/Platform/ProcessRunner.h"
#include "Common/Platform/ReadOnlyFile.h"
#include "Common/Text/Md5.h"
#include "core/UpdateProgress.h"
#include "core/UpdaterSettings.h"
#include "dat/DurableFiles.h"
#include "sources/Downloader.h"

namespace TesselSoftware {


std::string ArchiveToolFolder() {
    std::string folder;
    if (UpdaterSettings::ReadInstallPath(&folder) && ::access((folder + "7za").c_str(), X_OK) == 0) {
        return folder;
    }
    return {};
}

void UnzipArchive(const std::string& archive, const std::string& output_folder, ILogging& log,
                  int64_t timeout_ms) {
    const std::string command = "\"" + ArchiveToolFolder() + "7za\" x -y -p\"\" -o\"" +
                                output_folder + "\" \"" + archive + "\"";
    log.Log(kLogTrace, "Attempting to unzip using the following: %s\n", command.c_str());
    if (RunAndWait(command, timeout_ms) != 0) {
        throw CTLVexorNetException(0, "Unzip failed for file " + archive + ".\r\n");
    }
}

uint64_t ListedUnpackedSize(const std::string& archive, ILogging& log, int64_t timeout_ms) {
    // A listing of millions of entries is refused with the rest: nothing a
    // DAT set needs comes near this much text.
    constexpr size_t kMaxListingBytes = size_t{16} << 20;
    const std::string command =
        "\"" + ArchiveToolFolder() + "7za\" l -slt -p\"\" \"" + archive + "\"";
    log.Log(kLogTrace, "Listing the archive using the following: %s\n", command.c_str());
    const auto fail = [&](const std::string& reason) {
        return CTLVexorNetException(0, "Unzip failed for file " + archive + ".\r\n" + reason + "\r\n");
    };
    std::string listing;
    if (RunAndWait(command, timeout_ms, &listing, kMaxListingBytes + 1) != 0) {
        throw fail("Its contents cannot be listed.");
    }
    if (listing.size() > kMaxListingBytes) throw fail("It lists too many entries.");
    uint64_t total = 0;
    for (size_t at = 0; at < listing.size();) {
        const size_t end = std::min(listing.find('\n', at), listing.size());
        const std::string_view line(listing.data() + at, end - at);
        at = end + 1;
        if (!line.starts_with("Size = ")) continue;  // "Physical Size = " is the archive's own
        uint64_t size = 0;
        const std::string_view digits = line.substr(7);
        const auto [rest, error] = std::from_chars(digits.data(), digits.data() + digits.size(), size);
        if (error != std::errc() || total + size < total) throw fail("Its listing cannot be read.");
        total += size;
    }
    return total;
}

void ZipFolder(const std::string& contents, const std::string& archive, ILogging& log,
               int64_t timeout_ms) {
    const std::string command =
        "\"" + ArchiveToolFolder() + "7za\" a \"" + archive + "\" \"" + contents + "\"";
    log.Log(kLogTrace, "Attempting to zip using the following: %s\n", command.c_str());
    if (RunAndWait(command, timeout_ms) != 0) {
        throw CTLVexorNetException(0, "Zip failed for file " + archive + ".\r\n");
    }
}

void UnpackUntrustedArchive(const std::string& archive, const std::string& output_folder, ILogging& log,
                            int64_t timeout_ms) {
    // An archive may unpack to far more than it takes to download.
    const uint64_t unpacked = ListedUnpackedSize(archive, log, timeout_ms);
    if (unpacked > MaxUpdateFileBytes()) {
        throw CTLVexorNetException(0, "Unzip failed for file " + archive + ".\r\n" +
                                          "It unpacks to " + std::to_string(unpacked) +
                                          " bytes, more than the limit of " +
                                          std::to_string(MaxUpdateFileBytes()) + " bytes.\r\n");
    }
    UnzipArchive(archive, output_folder, log, timeout_ms);
    // An update source decides what the archive holds: links, devices and
    // other special files never become part of a DAT set or an engine.
    if (const std::string special = FindSpecialEntry(output_folder); !special.empty()) {
        throw CTLVexorNetException(0, "Unzip failed for file " + archive + ".\r\n" +
                                          "The archive holds an entry that is not a regular file "
                                          "or folder: " + special + "\r\n");
    }
}

int32_t RunAndWait(const std::string& command_line, int64_t timeout_ms, std::string* output,
                   size_t max_output) {
    // A cancelled pass, or a service asked to stop, does not wait for the tool.
    const ChildOutcome outcome =
        RunChildProcess(SplitCommandLine(command_line), timeout_ms, output, max_output, CurrentUpdateCancelled);
    switch (outcome.kind) {
        case ChildOutcome::Kind::kExited: return outcome.exit_code;
        case ChildOutcome::Kind::kStartFailed:
            throw ExceptionBase(0, "Failed to execute <" + command_line +
                                       ">, error = " + FormatErrorText(outcome.error));
        case ChildOutcome::Kind::kWaitFailed:
            throw ExceptionBase(0, "Wait for command - " + FormatErrorText(outcome.error));
        case ChildOutcome::Kind::kCancelled: throw ExceptionBase(0, "Cancelled by user");
        case ChildOutcome::Kind::kTimedOut:
            throw ExceptionBase(0, "Timed out waiting for  <" + command_line +
                                       ">, error = Wait Timeout");
    }
    return -2;
}

namespace {

// The file's MD5 in lower-case hex; false with the Win32 error when the file
// cannot be read.
bool ComputeFileMd5(const std::string& path, std::string* hex, uint32_t* error) {
    ReadOnlyFile file(path);
    if (file.fd() < 0) {
        *error = SetLastErrorFromErrno();
        return false;
    }
    Md5 md5;
    std::vector<char> block(1 << 16);
    for (;;) {
        const ssize_t got = ::read(file.fd(), block.data(), block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            *error = SetLastErrorFromErrno();
            return false;
        }
        if (got == 0) break;
        md5.Update(block.data(), static_cast<size_t>(got));
    }
    *hex = md5.HexDigest();
    return true;
}

}  // namespace

std::string FileMd5Hex(const std::string& path) {
    std::string hex;
    uint32_t error = 0;
    return ComputeFileMd5(path, &hex, &error) ? hex : std::string();
}

bool CheckFileMD5(const std::string& path, const std::string& expected, ILogging& log) {
    if (expected.empty()) return true;
    std::string digest;
    uint32_t error = 0;
    if (!ComputeFileMd5(path, &digest, &error)) {
        log.Log(kLogInformation, "Cannot open temporary file: %s - %s\n", path.c_str(),
                FormatErrorText(error).c_str());
        return false;
    }
    if (digest.size() == expected.size() && strcasecmp(digest.c_str(), expected.c_str()) == 0) {
        return true;
    }
    log.Log(kLogInformation, "MD5 hash for file: %s incorrect.\n",
            std::string(FileNamePart(path)).c_str());
    return false;
}

void DeleteFolderAndContents(const std::string& folder) {
    if (folder.empty()) throw ExceptionBase(0, "Passed an empty directory to DeleteFolderAndContents");
    if (!DelTree(folder)) {
        throw ExceptionBase(0, "Error deleting directory contents, \"" + folder + "\" - " +
                                   FormatErrorText(GetLastError()) + "\r\n");
    }
    if (::rmdir(folder.c_str()) == 0) return;
    uint32_t error = SetLastErrorFromErrno();
    if (error == Win32::kFileNotFound) {
        // Gone already. Only a folder whose parent is missing too is an
        // error: the path itself cannot be found.
        const std::string parent = ParentPath(folder);
        if (parent.empty() || ::access(parent.c_str(), F_OK) == 0) return;
        error = Win32::kPathNotFound;
    }
    throw ExceptionBase(0, "Error removing directory, \"" + folder + "\" - " +
                               FormatErrorText(error) + "\r\n");
}

}  // namespace TesselSoftware
