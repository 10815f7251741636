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

// The text of a small regular file (a link to one will do); "" with *why
// set otherwise. Opened without blocking: a FIFO planted under a key's name
// never holds the pass, it is seen for what it is and skipped.
bool ReadKeyFile(const std::string& path, std::string* text, std::string* why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        *why = "it cannot be read";
        return false;
    }
    struct stat info {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ssize_t got = -1;
    if (regular) {
        text->assign(Minisign::kMaxKeyTextBytes + 1, '\0');
        got = ::read(fd, text->data(), text->size());
    }
    ::close(fd);
    if (!regular) {
        *why = "it is not a regular file";
        return false;
    }
    if (got < 0) {
        *why = "it cannot be read";
        return false;
    }
    text->resize(static_cast<size_t>(got));
    return true;
}

}  // namespace

TrustedKeys LoadTrustedKeys() {
    TrustedKeys trusted;
    const std::string folder = MachineLayout::TrustedKeysDirectory();
    struct stat named {};
    if (::lstat(folder.c_str(), &named) != 0) return trusted;  // no folder: no key
    struct stat target {};
    if (::stat(folder.c_str(), &target) != 0 || !S_ISDIR(target.st_mode)) {
        // What "cp key.pub /etc/vexor/trusted-keys" makes when the folder is
        // missing, or a link to nowhere: keys were meant, so checking stays on.
        trusted.folder_problem = folder + " is not a folder";
        return trusted;
    }
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        trusted.folder_problem = folder + " cannot be read";
        return trusted;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() > 4 && name.ends_with(".pub")) names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        ++trusted.key_files;
        std::string text, why;
        Minisign::PublicKey key;
        if (!ReadKeyFile(folder + "/" + name, &text, &why)) {
            trusted.problems.push_back(name + ": " + why);
        } else if (!Minisign::ParsePublicKey(text, &key, &why)) {
            trusted.problems.push_back(name + ": " + why);
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
