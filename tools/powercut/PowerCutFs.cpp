// vexor-powercut-fs: a FUSE file system over a backing folder that loses, on
// a simulated power cut, whatever had not been made durable.
//
//   vexor-powercut-fs --backing DIR --mount DIR --stats FILE
//                     [--model strict|ordered] [--cut-at-sync K | --cut-at-op K]
//
// Processes see every write, create, rename, link, unlink, truncate and
// chmod at once (in a live copy of the backing folder). What reaches the
// backing folder follows DurabilityModel: file data on fsync of the file,
// names on fsync of their folder (strict) or with any later durability
// point (ordered). After the K-th durability point (fsync, fdatasync or a
// folder's fsync) or the K-th changing operation the power is cut: every
// call fails with EIO from then on. On unmount the backing folder gets the
// durable tree after a cut, and the whole live tree otherwise (a clean
// shutdown). The stats file then reads "syncs=S ops=O cut=0|1".
#define FUSE_USE_VERSION 35
#include <fuse3/fuse.h>

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "DurabilityModel.h"

extern "C" char** environ;

namespace TesselSoftware::PowerCut {
namespace {

namespace fs = std::filesystem;

struct State {
    std::string live;  // the live tree: what processes see
    std::unique_ptr<DurabilityModel> model;
    int64_t syncs = 0, ops = 0;
    int64_t cut_at_sync = 0, cut_at_op = 0;  // 0: never
    bool cut = false;
};

State g_state;  // one file-system thread (-s) uses it

std::string Live(const char* path) { return g_state.live + path; }
int Errno() { return -errno; }

// A changing operation happened; the power may go after it.
void CountOp() {
    ++g_state.ops;
    if (g_state.cut_at_op != 0 && g_state.ops >= g_state.cut_at_op) g_state.cut = true;
}

void CountSync() {
    ++g_state.syncs;
    if (g_state.cut_at_sync != 0 && g_state.syncs >= g_state.cut_at_sync) g_state.cut = true;
}

// The model's failures (a file it cannot read) are the call's: EIO, never
// an exception through the FUSE library.
template <typename Call>
int Modelled(Call call) {
    try {
        call();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vexor-powercut-fs: %s\n", e.what());
        return -EIO;
    }
}

// Every call fails once the power is off.
#define POWER_OR_EIO()            \
    do {                          \
        if (g_state.cut) return -EIO; \
    } while (false)

int GetAttr(const char* path, struct stat* status, fuse_file_info* file) {
    POWER_OR_EIO();
    const int result = file != nullptr ? ::fstat(static_cast<int>(file->fh), status) : ::lstat(Live(path).c_str(), status);
    return result == 0 ? 0 : Errno();
}

int ReadLink(const char* path, char* buffer, size_t size) {
    POWER_OR_EIO();
    const ssize_t length = ::readlink(Live(path).c_str(), buffer, size - 1);
    if (length < 0) return Errno();
    buffer[length] = '\0';
    return 0;
}

// Runs a name-making call and tells the model of the new name.
template <typename Call>
int MakeName(const char* path, Call call) {
    POWER_OR_EIO();
    if (call() != 0) return Errno();
    CountOp();
    return Modelled([&] { g_state.model->Created(path); });
}

int MakeNode(const char* path, mode_t mode, dev_t device) {
    return MakeName(path, [&] { return ::mknod(Live(path).c_str(), mode, device); });
}

int MakeFolder(const char* path, mode_t mode) {
    return MakeName(path, [&] { return ::mkdir(Live(path).c_str(), mode); });
}

int MakeSymlink(const char* target, const char* path) {
    return MakeName(path, [&] { return ::symlink(target, Live(path).c_str()); });
}

int RemoveName(const char* path, int (*call)(const char*)) {
    POWER_OR_EIO();
    g_state.model->Removing(path);
    if (call(Live(path).c_str()) != 0) return Errno();
    CountOp();
    return 0;
}

int Unlink(const char* path) { return RemoveName(path, ::unlink); }
int RemoveFolder(const char* path) { return RemoveName(path, ::rmdir); }

int Rename(const char* from, const char* to, unsigned int flags) {
    POWER_OR_EIO();
    if ((flags & RENAME_EXCHANGE) == 0) g_state.model->Removing(to);
    if (::renameat2(AT_FDCWD, Live(from).c_str(), AT_FDCWD, Live(to).c_str(), flags) != 0) return Errno();
    CountOp();
    return 0;
}

int Link(const char* from, const char* to) {
    POWER_OR_EIO();
    if (::link(Live(from).c_str(), Live(to).c_str()) != 0) return Errno();
    CountOp();
    return 0;
}

int ChangeMode(const char* path, mode_t mode, fuse_file_info* file) {
    POWER_OR_EIO();
    const int result = file != nullptr ? ::fchmod(static_cast<int>(file->fh), mode) : ::chmod(Live(path).c_str(), mode);
    if (result != 0) return Errno();
    CountOp();
    return 0;
}

int ChangeOwner(const char* path, uid_t owner, gid_t group, fuse_file_info* file) {
    POWER_OR_EIO();
    const int result = file != nullptr ? ::fchown(static_cast<int>(file->fh), owner, group)
                                       : ::lchown(Live(path).c_str(), owner, group);
    if (result != 0) return Errno();
    CountOp();
    return 0;
}

int Truncate(const char* path, off_t size, fuse_file_info* file) {
    POWER_OR_EIO();
    const int result = file != nullptr ? ::ftruncate(static_cast<int>(file->fh), size) : ::truncate(Live(path).c_str(), size);
    if (result != 0) return Errno();
    CountOp();
    return 0;
}

int SetTimes(const char* path, const timespec times[2], fuse_file_info* file) {
    POWER_OR_EIO();
    const int result = file != nullptr ? ::futimens(static_cast<int>(file->fh), times)
                                       : ::utimensat(AT_FDCWD, Live(path).c_str(), times, AT_SYMLINK_NOFOLLOW);
    return result == 0 ? 0 : Errno();
}

int Open(const char* path, fuse_file_info* file) {
    POWER_OR_EIO();
    const int fd = ::open(Live(path).c_str(), file->flags);
    if (fd < 0) return Errno();
    file->fh = static_cast<uint64_t>(fd);
    if ((file->flags & O_TRUNC) != 0) CountOp();
    return 0;
}

int Create(const char* path, mode_t mode, fuse_file_info* file) {
    POWER_OR_EIO();
    const int fd = ::open(Live(path).c_str(), file->flags | O_CREAT, mode);
    if (fd < 0) return Errno();
    file->fh = static_cast<uint64_t>(fd);
    CountOp();
    return Modelled([&] { g_state.model->Created(path); });
}

int Read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* file) {
    POWER_OR_EIO();
    const ssize_t got = ::pread(static_cast<int>(file->fh), buffer, size, offset);
    return got < 0 ? Errno() : static_cast<int>(got);
}

int Write(const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* file) {
    POWER_OR_EIO();
    const ssize_t written = ::pwrite(static_cast<int>(file->fh), buffer, size, offset);
    if (written < 0) return Errno();
    CountOp();
    return static_cast<int>(written);
}

int StatFs(const char*, struct statvfs* status) {
    POWER_OR_EIO();
    return ::statvfs(g_state.live.c_str(), status) == 0 ? 0 : Errno();
}

int Flush(const char*, fuse_file_info*) {
    POWER_OR_EIO();
    return 0;
}

// Closing never fails: the descriptor goes either way.
int Release(const char*, fuse_file_info* file) {
    ::close(static_cast<int>(file->fh));
    return 0;
}

int FileSync(const char*, int, fuse_file_info* file) {
    POWER_OR_EIO();
    if (const int failed = Modelled([&] { g_state.model->SyncFile(static_cast<int>(file->fh)); })) return failed;
    CountSync();
    return 0;
}

int OpenFolder(const char* path, fuse_file_info*) {
    POWER_OR_EIO();
    struct stat status {};
    if (::lstat(Live(path).c_str(), &status) != 0) return Errno();
    return S_ISDIR(status.st_mode) ? 0 : -ENOTDIR;
}

int ReadFolder(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
    POWER_OR_EIO();
    DIR* listing = ::opendir(Live(path).c_str());
    if (listing == nullptr) return Errno();
    while (const dirent* entry = ::readdir(listing)) {
        struct stat status {};
        status.st_ino = entry->d_ino;
        status.st_mode = static_cast<mode_t>(DTTOIF(entry->d_type));
        if (fill(buffer, entry->d_name, &status, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) break;
    }
    ::closedir(listing);
    return 0;
}

int FolderSync(const char* path, int, fuse_file_info*) {
    POWER_OR_EIO();
    if (const int failed = Modelled([&] { g_state.model->SyncFolder(path); })) return failed;
    CountSync();
    return 0;
}

int Access(const char* path, int mask) {
    POWER_OR_EIO();
    return ::access(Live(path).c_str(), mask) == 0 ? 0 : Errno();
}

int Allocate(const char*, int mode, off_t offset, off_t length, fuse_file_info* file) {
    POWER_OR_EIO();
    if (::fallocate(static_cast<int>(file->fh), mode, offset, length) != 0) return Errno();
    CountOp();
    return 0;
}

void* Init(fuse_conn_info*, fuse_config* config) {
    // The live tree is the truth: no attribute or entry caching, and the
    // kernel asks before each use of a name.
    config->entry_timeout = config->attr_timeout = config->negative_timeout = 0;
    config->use_ino = 1;
    config->hard_remove = 1;
    return nullptr;
}

// "cp -a FROM/. TO": contents, owners, modes and times.
bool CopyTree(const std::string& from, const std::string& to) {
    const std::string source = from + "/.";
    char* argv[] = {const_cast<char*>("/bin/cp"), const_cast<char*>("-a"), const_cast<char*>(source.c_str()),
                    const_cast<char*>(to.c_str()), nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) return false;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int Usage() {
    std::fprintf(stderr,
                 "Usage: vexor-powercut-fs --backing DIR --mount DIR --stats FILE [--model strict|ordered]\n"
                 "                         [--cut-at-sync K | --cut-at-op K]\n");
    return 2;
}

int Main(int argc, char** argv) {
    std::string backing, mount, stats, model = "strict";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") return Usage(), 0;
        if (i + 1 >= argc) return Usage();
        const std::string value = argv[++i];
        if (arg == "--backing") {
            backing = value;
        } else if (arg == "--mount") {
            mount = value;
        } else if (arg == "--stats") {
            stats = value;
        } else if (arg == "--model" && (value == "strict" || value == "ordered")) {
            model = value;
        } else if (arg == "--cut-at-sync") {
            g_state.cut_at_sync = std::atoll(value.c_str());
        } else if (arg == "--cut-at-op") {
            g_state.cut_at_op = std::atoll(value.c_str());
        } else {
            return Usage();
        }
    }
    if (backing.empty() || mount.empty() || stats.empty()) return Usage();
    backing = fs::absolute(backing).lexically_normal().string();
    mount = fs::absolute(mount).lexically_normal().string();
    stats = fs::absolute(stats).lexically_normal().string();
    std::string pattern = backing + ".live-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("vexor-powercut-fs: live tree");
        return 1;
    }
    g_state.live = pattern;
    ::chmod(g_state.live.c_str(), 0755);
    if (!CopyTree(backing, g_state.live)) {
        std::fprintf(stderr, "vexor-powercut-fs: cannot copy %s\n", backing.c_str());
        return 1;
    }
    g_state.model = std::make_unique<DurabilityModel>(
        model == "ordered" ? DurabilityModel::Mode::kOrdered : DurabilityModel::Mode::kStrict, g_state.live);

    fuse_operations ops{};
    ops.getattr = GetAttr;
    ops.readlink = ReadLink;
    ops.mknod = MakeNode;
    ops.mkdir = MakeFolder;
    ops.unlink = Unlink;
    ops.rmdir = RemoveFolder;
    ops.symlink = MakeSymlink;
    ops.rename = Rename;
    ops.link = Link;
    ops.chmod = ChangeMode;
    ops.chown = ChangeOwner;
    ops.truncate = Truncate;
    ops.open = Open;
    ops.read = Read;
    ops.write = Write;
    ops.statfs = StatFs;
    ops.flush = Flush;
    ops.release = Release;
    ops.fsync = FileSync;
    ops.opendir = OpenFolder;
    ops.readdir = ReadFolder;
    ops.fsyncdir = FolderSync;
    ops.init = Init;
    ops.access = Access;
    ops.create = Create;
    ops.utimens = SetTimes;
    ops.fallocate = Allocate;
    std::vector<std::string> fuse_args = {argv[0], mount, "-f", "-s", "-o",
                                          "allow_other,default_permissions,fsname=vexor-powercut"};
    std::vector<char*> pointers;
    for (std::string& arg : fuse_args) pointers.push_back(arg.data());
    const int result = fuse_main(static_cast<int>(pointers.size()), pointers.data(), &ops, nullptr);

    int status = result == 0 ? 0 : 1;
    try {
        if (g_state.cut) {
            g_state.model->Materialize(backing);
        } else {
            for (const auto& entry : fs::directory_iterator(backing)) fs::remove_all(entry.path());
            if (!CopyTree(g_state.live, backing)) status = 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vexor-powercut-fs: %s\n", e.what());
        status = 1;
    }
    fs::remove_all(g_state.live);
    std::ofstream(stats) << "syncs=" << g_state.syncs << " ops=" << g_state.ops << " cut=" << (g_state.cut ? 1 : 0)
                         << "\n";
    return status;
}

}  // namespace
}  // namespace TesselSoftware::PowerCut

int main(int argc, char** argv) {
    try {
        return TesselSoftware::PowerCut::Main(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vexor-powercut-fs: %s\n", e.what());
        return 1;
    }
}
