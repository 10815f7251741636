#include "Common/Files/FileSystemUtils.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "Common/Errors/ErrorText.h"
#include "Common/Errors/ExceptionBase.h"
#include "Common/Errors/Win32Error.h"
#include "Common/EventLogging.h"
#include "Common/Text/TextConversion.h"

namespace TesselSoftware {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

size_t LastSeparator(std::string_view path) {
    const size_t slash = path.find_last_of("\\/");
    return slash;
}

bool IsUnc(std::string_view path) { return path.size() >= 2 && path[0] == '\\' && path[1] == '\\'; }

bool IsDirectory(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool PathExists(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

void ReportWarning(const char* format, const std::string& a, const std::string& b = {}) {
    if (IEventLogging* log = CurrentEventLog()) log->ReportWarning(format, a.c_str(), b.c_str());
}

}  // namespace

bool EnsureDirectory(const std::string& path, bool create) {
    if (path.empty()) return false;
    if (!PathExists(path)) {
        if (!create) return false;
        if (::mkdir(path.c_str(), 0755) != 0 && !IsDirectory(path)) {
            const std::string parent = ParentPath(path);
            if (parent.empty() || !EnsureDirectory(parent, true)) return false;
            if (::mkdir(path.c_str(), 0755) != 0 && !IsDirectory(path)) return false;
        }
    }
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
    const bool has_write_bit = (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
    return has_write_bit && ::access(path.c_str(), W_OK) == 0;
}

std::string ParentPath(std::string_view path) {
    const size_t slash = LastSeparator(path);
    return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash));
}

std::string_view FileNamePart(std::string_view path) {
    const size_t slash = LastSeparator(path);
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string CombinePath(const std::string& base, const std::string& relative) {
    if (base.empty()) return relative;
    if (!relative.empty() && relative[0] == '/') return relative;
    if (IsUnc(relative)) return relative;

    const bool unc_base = IsUnc(base);
    if (unc_base && relative.size() >= 3 && relative[0] == '\\') {
        // Rooted on the share: keep \\server\share of the base.
        const size_t server_end = base.find('\\', 2);
        if (server_end == std::string::npos) {
            throw ExceptionBase(0, "Invalid base path <" + base + ">");
        }
        const size_t share_end = base.find('\\', server_end + 1);
        return base.substr(0, share_end) + relative;
    }
    const char separator = unc_base ? '\\' : '/';
    if (IsSeparator(base.back())) return base + relative;
    return base + separator + relative;
}

bool DelTree(const std::string& folder) {
    if (folder.empty()) throw ExceptionBase(0, "DelTree passed a NULL path.");
    std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
    if (!dir) {
        // A folder that is not there has nothing left to delete; one that
        // cannot be listed is a failure.
        const int error = errno;
        SetLastErrorFromErrno();
        return error == ENOENT;
    }
    // Entries are removed as the walk goes; the directory stream tolerates
    // that (removed entries are simply not returned again).
    bool ok = true;
    while (struct dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string full = folder + "/" + name;
        struct stat info;
        if (::lstat(full.c_str(), &info) != 0) {
            if (errno == ENOENT) continue;  // gone meanwhile: nothing left to delete
            ok = false;
            continue;
        }
        if (S_ISDIR(info.st_mode)) {
            // A folder without owner write and search rights cannot be emptied.
            if ((info.st_mode & (S_IWUSR | S_IXUSR)) != (S_IWUSR | S_IXUSR)) {
                ::chmod(full.c_str(), (info.st_mode & 07777) | S_IWUSR | S_IXUSR | S_IRUSR);
            }
            if (!DelTree(full)) ok = false;
            if (::rmdir(full.c_str()) != 0) {
                SetLastErrorFromErrno();
                ok = false;
                ReportWarning("Cannot remove directory <%s>", full);
            }
        } else {
            if (!S_ISLNK(info.st_mode) && (info.st_mode & S_IWUSR) == 0) {
                ::chmod(full.c_str(), (info.st_mode & 07777) | S_IWUSR);
            }
            if (::unlink(full.c_str()) != 0) {
                SetLastErrorFromErrno();
                ok = false;
                ReportWarning("Cannot unlink file <%s>, error = (%s)", full,
                              FormatErrorText(GetLastError(), kErrorTextAuto));
            }
        }
    }
    return ok;
}

std::string SanitizeFileName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    size_t i = 0;
    while (i < name.size()) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x80) {
            switch (c) {
                case '\\': case '/': case ':': case '*': case '<':
                case '>': case '|': case '"': case '?':
                    out += '#';
                    break;
                default:
                    out += (c < 0x20 || c == 0x7F) ? '_' : static_cast<char>(c);
            }
            ++i;
            continue;
        }
        // A multi-byte character: keep it when it is valid UTF-8 and not one
        // of the C1 control characters U+0080..U+009F.
        size_t length = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        std::string_view sequence = length ? name.substr(i, length) : std::string_view();
        const bool valid = length && sequence.size() == length && IsValidUtf8(sequence);
        const bool c1_control = valid && c == 0xC2 && static_cast<unsigned char>(name[i + 1]) < 0xA0;
        if (valid && !c1_control) {
            out += sequence;
            i += length;
        } else {
            out += '_';
            i += valid ? length : 1;
        }
    }
    return out;
}

std::string CreateUnique(const std::string& folder, const std::string& name) {
    const std::string clean = SanitizeFileName(name);
    const auto is_free = [](const std::string& candidate) {
        struct stat info;
        return ::lstat(candidate.c_str(), &info) != 0 && errno == ENOENT;
    };
    std::string candidate = folder + "/" + clean;
    if (is_free(candidate)) return candidate;

    const size_t dot = clean.rfind('.');
    const bool split = dot != std::string::npos && dot != 0;
    const std::string stem = split ? clean.substr(0, dot) : clean;
    const std::string extension = split ? clean.substr(dot) : std::string();
    for (int n = 1; n <= 101; ++n) {
        candidate = folder + "/" + stem + "_" + std::to_string(n) + extension;
        if (is_free(candidate)) return candidate;
    }
    throw ExceptionBase(0, "CreateUnique: Unable to create a unique name for <" + name +
                               "> in dir <" + folder + ">");
}

}  // namespace TesselSoftware
