#include "dat/CheckConfinement.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace TesselSoftware {

namespace {

constexpr rlim_t kCpuSeconds = 120;
constexpr rlim_t kAddressSpaceBytes = rlim_t{8} << 30;
// Processes of the check's account, threads included. The kernel does not
// apply this limit to uid 0; the PID namespace's own limit below does.
constexpr rlim_t kProcesses = 64;
// The smallest pid_max the kernel takes: the PID namespace holds at most
// about this many processes, root's included.
constexpr char kNamespacePidMax[] = "301";
// Where the new root is put together, in the check's own mount namespace;
// nothing of it is seen outside.
constexpr char kNewRoot[] = "/tmp";

std::string Failed(const std::string& step) { return step + ": " + std::strerror(errno); }

// Ends the check before the engine runs: a sandbox half built is no sandbox.
[[noreturn]] void Refuse(const std::string& reason) {
    std::fprintf(stdout, "the engine check's sandbox could not be built: %s\n", reason.c_str());
    std::fflush(stdout);
    ::_exit(1);
}

bool WriteText(const char* path, const std::string& text) {
    const int file = ::open(path, O_WRONLY | O_CLOEXEC);
    if (file < 0) return false;
    const bool written = ::write(file, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(file);
    return written;
}

bool Limit(int resource, rlim_t value) {
    const struct rlimit limit = {value, value};
    return ::setrlimit(resource, &limit) == 0;
}

// Namespaces of its own for the check: mount, PID, network, IPC and UTS,
// and a user namespace first when not root (mapping the caller's own ids,
// so files keep their owners). False, with the reason in *skipped, when the
// kernel refuses them.
bool EnterNamespaces(bool root, std::vector<std::string>* skipped) {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    int flags = CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWNET | CLONE_NEWIPC | CLONE_NEWUTS;
    if (!root) flags |= CLONE_NEWUSER;
    if (::unshare(flags) != 0) {
        skipped->push_back(Failed("own namespaces (PID, mount, network, IPC)"));
        return false;
    }
    if (!root && (!WriteText("/proc/self/setgroups", "deny") ||
                  !WriteText("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
                  !WriteText("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1"))) {
        Refuse(Failed("the user namespace's id map"));
    }
    return true;
}

// Waits for child and ends as it ended: its exit status, or 128 + N when
// signal N ended it.
[[noreturn]] void EndAsChildEnds(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) ::_exit(1);
    }
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

// Forks the sandbox's first process (PID 1 of the new PID namespace) and
// returns in it. The caller waits outside and ends with its status; when
// the caller is killed, the kernel kills the sandbox's PID 1, and with it
// every process of the namespace.
void ForkSandboxInit() {
    int alive[2];
    if (::pipe2(alive, O_CLOEXEC) != 0) Refuse(Failed("pipe"));
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child < 0) Refuse(Failed("fork"));
    if (child > 0) {
        ::close(alive[0]);
        EndAsChildEnds(child);
    }
    ::close(alive[1]);
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) Refuse(Failed("parent death signal"));
    // The caller may have died before the line above: then its end of the
    // pipe is closed already.
    pollfd caller = {alive[0], POLLIN, 0};
    if (::poll(&caller, 1, 0) != 0) ::_exit(1);
    ::close(alive[0]);
    // Its own session: a kill(0) or kill(-pgid) from the release reaches
    // nothing outside the sandbox.
    ::setsid();
}

// What the new root shows of the machine.
struct Bind {
    std::string path;
    bool folder;
    int fd = -1;
};

void MakeFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) Refuse(Failed("mkdir " + prefix));
        if (slash == std::string::npos) return;
    }
}

// Builds the read-only root and moves into it. Every bound path is opened
// before the new root's tmpfs covers kNewRoot, so folders under it are
// shown as well.
void EnterReadOnlyRoot(const std::vector<std::string>& readable_folders, std::vector<std::string>* skipped) {
    // Nothing done below may reach the machine's own mount table.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) Refuse(Failed("private mounts"));

    std::vector<Bind> binds = {{"/usr", true}};
    for (const std::string& folder : readable_folders) {
        if (folder.size() < 2 || folder[0] != '/') Refuse("'" + folder + "' is not an absolute folder below /");
        binds.push_back({folder, true});
    }
    for (const char* file : {"/etc/ld.so.cache", "/dev/null", "/dev/zero", "/dev/urandom"}) {
        binds.push_back({file, false});
    }
    std::vector<std::pair<std::string, std::string>> links;  // merged /usr: /lib -> usr/lib, ...
    for (const char* name : {"/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32"}) {
        struct stat info;
        if (::lstat(name, &info) != 0) continue;
        if (S_ISDIR(info.st_mode)) {
            binds.push_back({name, true});
        } else if (S_ISLNK(info.st_mode)) {
            char target[PATH_MAX];
            const ssize_t length = ::readlink(name, target, sizeof target - 1);
            if (length > 0) links.emplace_back(name, std::string(target, static_cast<size_t>(length)));
        }
    }
    for (Bind& bind : binds) {
        bind.fd = ::open(bind.path.c_str(), O_PATH | O_CLOEXEC | (bind.folder ? O_DIRECTORY : 0));
        if (bind.fd < 0 && bind.folder) Refuse(Failed("open " + bind.path));
    }

    if (::mount("vexor-check", kNewRoot, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=64k") != 0) {
        Refuse(Failed("tmpfs"));
    }
    const std::string root = kNewRoot;
    for (const Bind& bind : binds) {
        if (bind.fd < 0) continue;  // the loader's cache or a device this machine lacks
        const std::string target = root + bind.path;
        if (bind.folder) {
            MakeFolders(target);
        } else {
            MakeFolders(target.substr(0, target.rfind('/')));
            const int placeholder = ::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (placeholder < 0) Refuse(Failed("create " + target));
            ::close(placeholder);
        }
        const std::string source = "/proc/self/fd/" + std::to_string(bind.fd);
        if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            Refuse(Failed("bind " + bind.path));
        }
        ::close(bind.fd);
    }
    for (const auto& [name, target] : links) {
        if (::symlink(target.c_str(), (root + name).c_str()) != 0) Refuse(Failed("link " + name));
    }
    MakeFolders(root + "/proc");
    MakeFolders(root + "/.old");
    if (::syscall(SYS_pivot_root, kNewRoot, (root + "/.old").c_str()) != 0) Refuse(Failed("pivot_root"));
    if (::chdir("/") != 0) Refuse(Failed("chdir /"));
    // Its own /proc: the PID namespace's processes only, so no process of
    // the service (nor its namespaces) can be named from inside.
    if (::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
        Refuse(Failed("mount /proc"));
    }
    if (!WriteText("/proc/sys/kernel/pid_max", kNamespacePidMax)) {
        skipped->push_back(Failed("process-count limit of the PID namespace"));
    }
    if (::umount2("/.old", MNT_DETACH) != 0) Refuse(Failed("detach the old root"));
    ::rmdir("/.old");
    mount_attr read_only{};
    read_only.attr_set = MOUNT_ATTR_RDONLY | MOUNT_ATTR_NOSUID;
    if (::mount_setattr(AT_FDCWD, "/", AT_RECURSIVE, &read_only, sizeof read_only) != 0) {
        Refuse(Failed("read-only root"));
    }
}

void ApplyLimits(std::vector<std::string>* skipped) {
    // A write to a file fails with EFBIG instead of ending the process.
    ::signal(SIGXFSZ, SIG_IGN);
    if (!Limit(RLIMIT_FSIZE, 0)) skipped->push_back(Failed("file size limit"));
    if (!Limit(RLIMIT_CPU, kCpuSeconds)) skipped->push_back(Failed("CPU time limit"));
    if (!Limit(RLIMIT_NPROC, kProcesses)) skipped->push_back(Failed("process limit"));
    if (!Limit(RLIMIT_CORE, 0)) skipped->push_back(Failed("core dump limit"));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The sanitizers reserve terabytes of address space for themselves.
    if (!Limit(RLIMIT_AS, kAddressSpaceBytes)) skipped->push_back(Failed("address space limit"));
#endif
}

// No capability can be regained by any program the release executes.
void EmptyBoundingSet(std::vector<std::string>* skipped) {
    for (int cap = 0; ::prctl(PR_CAPBSET_READ, cap, 0, 0, 0) >= 0; ++cap) {
        if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) {
            skipped->push_back(Failed("capability bounding set"));
            return;
        }
    }
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
}

void DropCapabilities(std::vector<std::string>* skipped) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[2] = {};
    if (::syscall(SYS_capset, &header, none) != 0) skipped->push_back(Failed("dropping capabilities"));
}

// The account the check becomes, looked up while /etc is still in view.
struct Account {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    std::string problem;  // "" when found and not root
};

Account LookUpAccount(const std::string& name) {
    Account account;
    if (name.empty()) {
        account.problem = "unprivileged account: none named, the check runs as uid 0 without capabilities";
        return account;
    }
    struct passwd entry;
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        account.problem = "unprivileged account: there is no account '" + name +
                          "', the check runs as uid 0 without capabilities";
        return account;
    }
    if (found->pw_uid == 0) {
        account.problem = "unprivileged account: '" + name + "' is root";
        return account;
    }
    account.uid = found->pw_uid;
    account.gid = found->pw_gid;
    int count = 64;
    account.groups.resize(static_cast<size_t>(count));
    if (::getgrouplist(found->pw_name, found->pw_gid, account.groups.data(), &count) < 0) {
        account.groups.resize(static_cast<size_t>(count));
        ::getgrouplist(found->pw_name, found->pw_gid, account.groups.data(), &count);
    }
    account.groups.resize(static_cast<size_t>(count));
    return account;
}

// Becomes the account for good: its groups, then its group, then its user,
// in that order because each step needs the rights the next one gives up.
void BecomeAccount(const Account& account) {
    if (::setgroups(account.groups.size(), account.groups.data()) != 0 || ::setgid(account.gid) != 0 ||
        ::setuid(account.uid) != 0) {
        // Half a change of account is worse than none: end here.
        std::fprintf(stdout, "could not become the check's account (uid %u): %s\n", account.uid,
                     std::strerror(errno));
        std::fflush(stdout);
        ::_exit(1);
    }
}

}  // namespace

std::string RealFolderPath(const std::string& folder) {
    char* resolved = ::realpath(folder.c_str(), nullptr);
    if (resolved == nullptr) return {};
    std::string path = resolved;
    std::free(resolved);
    return path;
}

std::vector<std::string> ConfineEngineCheck(const std::string& account,
                                            const std::vector<std::string>& readable_folders) {
    std::vector<std::string> skipped;
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) skipped.push_back(Failed("no new privileges"));
    const bool root = ::geteuid() == 0;
    const Account becomes = root ? LookUpAccount(account) : Account{};
    const bool sandboxed = EnterNamespaces(root, &skipped);
    if (sandboxed) {
        ForkSandboxInit();
        EnterReadOnlyRoot(readable_folders, &skipped);
    }
    ApplyLimits(&skipped);
    if (root || sandboxed) EmptyBoundingSet(&skipped);
    if (root) {
        if (becomes.problem.empty()) {
            BecomeAccount(becomes);
        } else {
            skipped.push_back(becomes.problem);
        }
    }
    DropCapabilities(&skipped);
    if (sandboxed) {
        // The engine runs in a second process: PID 1 of a namespace ignores
        // every signal it has no handler for, so an engine that aborts there
        // would hang instead of ending. PID 1 reports how it ended, and its
        // own end takes every other process of the namespace with it.
        std::fflush(stdout);
        const pid_t worker = ::fork();
        if (worker < 0) Refuse(Failed("fork the check"));
        if (worker > 0) EndAsChildEnds(worker);
    }
    return skipped;
}

}  // namespace TesselSoftware
