#include "DurabilityModel.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <utility>

namespace TesselSoftware::PowerCut {
namespace {

namespace fs = std::filesystem;

struct stat StatusOf(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) throw std::runtime_error("cannot stat " + path);
    return status;
}

std::string ReadAll(int fd) {
    std::string data;
    char buffer[65536];
    for (off_t at = 0;;) {
        const ssize_t got = ::pread(fd, buffer, sizeof buffer, at);
        if (got < 0) throw std::runtime_error("cannot read a synced file");
        if (got == 0) return data;
        data.append(buffer, static_cast<size_t>(got));
        at += got;
    }
}

std::string LinkTarget(const std::string& path) {
    std::error_code error;
    const fs::path target = fs::read_symlink(path, error);
    return error ? std::string() : target.string();
}

// The names in a live folder, without "." and "..".
template <typename Visit>
void ForEachEntry(const std::string& folder, Visit visit) {
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) return;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") visit(name);
    }
    ::closedir(listing);
}

}  // namespace

DurabilityModel::DurabilityModel(Mode mode, std::string live_root) : mode_(mode), live_root_(std::move(live_root)) {
    const struct stat status = StatusOf(live_root_);
    root_id_ = IdOf(status);
    Load("", root_id_);
}

int64_t DurabilityModel::IdOf(const struct stat& status) {
    const auto [slot, added] = ids_.try_emplace(status.st_ino, next_id_);
    if (added) ++next_id_;
    return slot->second;
}

DurabilityModel::Node& DurabilityModel::DurableNode(int64_t id, const struct stat& status,
                                                    const std::string& live_path) {
    const auto [slot, added] = durable_.try_emplace(id);
    Node& node = slot->second;
    if (added) {
        node.kind = S_ISDIR(status.st_mode) ? Kind::kFolder : S_ISLNK(status.st_mode) ? Kind::kLink : Kind::kFile;
        node.mode = status.st_mode & 07777;
        node.owner = status.st_uid;
        node.group = status.st_gid;
        // A link's target is part of its name: durable with it.
        if (node.kind == Kind::kLink) node.data = LinkTarget(live_path);
    }
    return node;
}

void DurabilityModel::Load(const std::string& path, int64_t id) {
    const std::string live = live_root_ + path;
    const struct stat status = StatusOf(live);
    Node& node = DurableNode(id, status, live);
    if (node.kind == Kind::kFile) {
        const int fd = ::open(live.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw std::runtime_error("cannot read " + live);
        node.data = ReadAll(fd);
        ::close(fd);
        return;
    }
    if (node.kind != Kind::kFolder) return;
    ForEachEntry(live, [&](const std::string& name) {
        const int64_t child = IdOf(StatusOf(live + "/" + name));
        durable_[id].entries[name] = child;
        Load(path + "/" + name, child);
    });
}

void DurabilityModel::Created(const std::string& path) {
    // A live inode number seen before belonged to a file whose last name
    // went while it was open; the new file is another node.
    const struct stat status = StatusOf(live_root_ + path);
    ids_.erase(status.st_ino);
    IdOf(status);
}

void DurabilityModel::Removing(const std::string& path) {
    struct stat status {};
    if (::lstat((live_root_ + path).c_str(), &status) != 0) return;
    if (S_ISDIR(status.st_mode) || status.st_nlink <= 1) ids_.erase(status.st_ino);
}

void DurabilityModel::SyncFile(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) return;
    Node& node = DurableNode(IdOf(status), status, "");
    if (node.kind == Kind::kFile) {
        // The descriptor may be open for writing only: read through another.
        const int reader = ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC);
        if (reader < 0) throw std::runtime_error("cannot read a synced file");
        try {
            node.data = ReadAll(reader);
        } catch (...) {
            ::close(reader);
            throw;
        }
        ::close(reader);
    }
    node.mode = status.st_mode & 07777;
    node.owner = status.st_uid;
    node.group = status.st_gid;
    if (mode_ == Mode::kOrdered) SyncAllNames("");
}

void DurabilityModel::SyncFolder(const std::string& path) {
    if (mode_ == Mode::kOrdered) {
        SyncAllNames("");
    } else {
        CopyFolderEntries(path);
    }
}

void DurabilityModel::CopyFolderEntries(const std::string& path) {
    const std::string live = live_root_ + path;
    const struct stat status = StatusOf(live);
    const int64_t id = IdOf(status);
    DurableNode(id, status, live);
    std::map<std::string, int64_t> entries;
    ForEachEntry(live, [&](const std::string& name) {
        const std::string child_path = live + "/" + name;
        struct stat child {};
        if (::lstat(child_path.c_str(), &child) != 0) return;
        const int64_t child_id = IdOf(child);
        DurableNode(child_id, child, child_path);  // a file never synced is durable empty
        entries[name] = child_id;
    });
    durable_[id].entries = std::move(entries);
}

void DurabilityModel::SyncAllNames(const std::string& path) {
    CopyFolderEntries(path);
    ForEachEntry(live_root_ + path, [&](const std::string& name) {
        struct stat child {};
        if (::lstat((live_root_ + path + "/" + name).c_str(), &child) == 0 && S_ISDIR(child.st_mode)) {
            SyncAllNames(path + "/" + name);
        }
    });
}

void DurabilityModel::Materialize(const std::string& target) const {
    for (const auto& entry : fs::directory_iterator(target)) fs::remove_all(entry.path());
    Write(root_id_, target);
}

void DurabilityModel::Write(int64_t id, const std::string& target) const {
    const Node& folder = durable_.at(id);
    for (const auto& [name, child_id] : folder.entries) {
        const Node& child = durable_.at(child_id);
        const std::string path = target + "/" + name;
        switch (child.kind) {
            case Kind::kFolder:
                fs::create_directory(path);
                Write(child_id, path);
                break;
            case Kind::kLink: fs::create_symlink(child.data, path); break;
            case Kind::kFile: {
                const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
                if (fd < 0) throw std::runtime_error("cannot write " + path);
                for (size_t at = 0; at < child.data.size();) {
                    const ssize_t written = ::write(fd, child.data.data() + at, child.data.size() - at);
                    if (written <= 0) {
                        ::close(fd);
                        throw std::runtime_error("cannot write " + path);
                    }
                    at += static_cast<size_t>(written);
                }
                ::close(fd);
                break;
            }
        }
        [[maybe_unused]] const int owned = ::lchown(path.c_str(), child.owner, child.group);
        if (child.kind != Kind::kLink) ::chmod(path.c_str(), child.mode);
    }
}

}  // namespace TesselSoftware::PowerCut
