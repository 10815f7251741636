// DurabilityModel: what of a folder tree would survive a power cut.
//
//   DurabilityModel model(DurabilityModel::Mode::kStrict, "/scratch/live");
//   ... a process creates, writes and renames in the live tree; the file
//   ... system tells the model of each new or vanishing name, and of each
//   ... fsync of a file or a folder (a durability point)
//   model.Materialize("/scratch/backing");   // the tree after the cut
//
// The live tree holds what processes see. The model keeps, per file (an
// inode, followed across renames), the data and mode it had at its last
// fsync, and per folder the entries it had at its last fsync:
//   kStrict  - a name change (create, rename, link, unlink) is durable only
//              once its folder is fsynced;
//   kOrdered - also, every name change made before any durability point is
//              durable with it (a journal commit in ext4's data=ordered).
// File data is durable only through an fsync of that file, in both modes.
// Not thread-safe: one file-system thread calls it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

namespace TesselSoftware::PowerCut {

class DurabilityModel {
public:
    enum class Mode { kStrict, kOrdered };

    // Everything already in the live tree counts as durable.
    DurabilityModel(Mode mode, std::string live_root);

    // A new name (create, mkdir, symlink, mknod) at live path (relative,
    // "/a/b"); link reuses the inode and needs no call.
    void Created(const std::string& path);
    // Before the last name of an inode goes (unlink, rmdir, a rename over
    // it): the inode number may be reused by the live file system.
    void Removing(const std::string& path);

    // Durability points. SyncFile takes an open descriptor of the file.
    void SyncFile(int fd);
    void SyncFolder(const std::string& path);

    // Replaces the contents of target with the durable tree.
    void Materialize(const std::string& target) const;

private:
    enum class Kind { kFile, kFolder, kLink };
    struct Node {
        Kind kind = Kind::kFile;
        std::string data;  // file data or link target, as last made durable
        mode_t mode = 0644;
        uid_t owner = 0;
        gid_t group = 0;
        std::map<std::string, int64_t> entries;  // folders: name -> node
    };

    int64_t IdOf(const struct stat& status);
    Node& DurableNode(int64_t id, const struct stat& status, const std::string& live_path);
    void CopyFolderEntries(const std::string& path);
    void SyncAllNames(const std::string& path);
    void Load(const std::string& path, int64_t id);
    void Write(int64_t id, const std::string& target) const;

    const Mode mode_;
    const std::string live_root_;
    std::map<ino_t, int64_t> ids_;  // live inode -> node, while the inode lives
    std::map<int64_t, Node> durable_;
    int64_t next_id_ = 1;
    int64_t root_id_ = 0;
};

}  // namespace TesselSoftware::PowerCut
