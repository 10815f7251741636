#include "sources/DownloaderFS.h"

#include <fcntl.h>
#include <unistd.h>

#include <boost/regex.hpp>
#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

#include "Common/Platform/ReadOnlyFile.h"

namespace TesselSoftware {

namespace fs = std::filesystem;

namespace {

// Copies source over target, failing once more than limit bytes were read
// (the source may grow while it is copied); *reason says why when known.
bool CopyAtMost(const std::string& source, const std::string& target, uint64_t limit,
                std::string* reason) {
    ReadOnlyFile in(source);
    if (in.fd() < 0) return false;
    const std::string too_large =
        "the file is larger than the limit of " + std::to_string(limit) + " bytes";
    if (in.size() > limit) {
        *reason = too_large;
        return false;
    }
    std::vector<char> block(1 << 20);
    const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) return false;
    uint64_t copied = 0;
    bool ok = true;
    for (;;) {
        const ssize_t got = ::read(in.fd(), block.data(), block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        copied += static_cast<uint64_t>(got);
        if (copied > limit) {
            *reason = too_large;
            ok = false;
            break;
        }
        for (ssize_t done = 0; ok && done < got;) {
            const ssize_t put = ::write(out, block.data() + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            ok = put > 0;
            done += put > 0 ? put : 0;
        }
        if (!ok) break;
    }
    return ::close(out) == 0 && ok;
}

}  // namespace

CDownloaderFS::CDownloaderFS(SourceSettings* settings, int32_t type) : CDownloader(type, settings) {
    if (settings != nullptr) SetBaseLocation(settings->LocalDirectory());
}

bool CDownloaderFS::DownloadFile(const std::string& remote_name, const std::string& local_path) {
    ClearLastError();
    // One separator is always inserted, whatever the base ends with.
    return CopyFrom(BaseLocation() + "/" + remote_name, remote_name, local_path);
}

bool CDownloaderFS::ListFiles(const std::string& pattern, std::vector<std::string>* names) {
    ClearLastError();
    return ListIn(BaseLocation(), pattern, names);
}

bool CDownloaderFS::CopyFrom(const std::string& source, const std::string& remote_name,
                             const std::string& local_path) {
    if (IUpdateProgress* progress = Progress()) progress->AddMessage("Downloading '%s'", source.c_str());
    const auto fail = [&] {
        SetLastError("Failed to copy '" + remote_name + "' into '" + local_path + "'");
        return false;
    };
    std::error_code error;
    if (!fs::is_regular_file(source, error) || fs::equivalent(source, local_path, error)) {
        return fail();  // nothing was touched
    }
    std::string reason;
    if (!CopyAtMost(source, local_path, DownloadLimit(), &reason)) {
        std::error_code ignored;
        fs::remove(local_path, ignored);  // no partial copy is left behind
        fail();
        if (!reason.empty()) SetLastError(LastError() + " - " + reason);
        return false;
    }
    return true;
}

bool CDownloaderFS::ListIn(const std::string& folder, const std::string& pattern,
                           std::vector<std::string>* names) {
    try {
        const fs::path base(folder);
        std::error_code error;
        if (!fs::exists(base, error)) return false;
        std::vector<std::string> all;
        for (const fs::directory_entry& entry : fs::directory_iterator(base)) {
            all.push_back(entry.path().filename().string());
        }
        return MatchNames(pattern, all, names);
    } catch (const std::exception&) {
        return false;  // a failing walk
    }
}

bool CDownloaderFS::MatchNames(const std::string& pattern, const std::vector<std::string>& candidates,
                               std::vector<std::string>* names) {
    try {
        const boost::regex expression =
            pattern.empty() ? boost::regex() : boost::regex(pattern, boost::regex::perl);
        for (const std::string& name : candidates) {
            if (pattern.empty() || boost::regex_match(name, expression)) names->push_back(name);
        }
        return true;
    } catch (const std::exception&) {
        return false;  // a bad pattern; names found so far stay listed
    }
}

void RegisterFolderDownloader() {
    RegisterDownloader(LocalFolder, [](SourceSettings* settings) {
        return std::make_shared<CDownloaderFS>(settings);
    });
}

}  // namespace TesselSoftware
