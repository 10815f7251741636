#include "sources/TrustedKeys.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include "Common/Platform/MachineLayout.h"

namespace TesselSoftware {

namespace {

std::mutex g_signers_mutex;
std::shared_ptr<const TrustedKeyList> g_signers;  // GUARDED_BY(g_signers_mutex)

// The text of a small regular file, or false.
bool ReadSmallFile(const std::string& path, size_t limit, std::string* text) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    struct stat info {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    text->assign(regular ? limit + 1 : 0, '\0');
    ssize_t got = regular ? ::read(fd, text->data(), text->size()) : -1;
    ::close(fd);
    if (got < 0) return false;
    text->resize(static_cast<size_t>(got));
    return true;
}

}  // namespace

TrustedKeys LoadTrustedKeys() {
    TrustedKeys trusted;
    const std::string folder = MachineLayout::TrustedKeysDirectory();
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return trusted;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() > 4 && name.ends_with(".pub")) names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        ++trusted.key_files;
        std::string text, error;
        Minisign::PublicKey key;
        if (!ReadSmallFile(folder + "/" + name, Minisign::kMaxKeyTextBytes, &text)) {
            trusted.problems.push_back(name + ": it cannot be read");
        } else if (!Minisign::ParsePublicKey(text, &key, &error)) {
            trusted.problems.push_back(name + ": " + error);
        } else {
            trusted.keys.push_back(key);
        }
    }
    return trusted;
}

void SetRequiredSigners(std::shared_ptr<const TrustedKeyList> keys) {
    std::lock_guard lock(g_signers_mutex);
    g_signers = std::move(keys);
}

std::shared_ptr<const TrustedKeyList> RequiredSigners() {
    std::lock_guard lock(g_signers_mutex);
    return g_signers;
}

}  // namespace TesselSoftware
