#include "dat/CheckConfinement.h"

#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace TesselSoftware {

namespace {

constexpr rlim_t kCpuSeconds = 120;
constexpr rlim_t kAddressSpaceBytes = rlim_t{8} << 30;

bool Limit(int resource, rlim_t value) {
    const struct rlimit limit = {value, value};
    return ::setrlimit(resource, &limit) == 0;
}

// Becomes `account` for good: its groups, then its group, then its user, in
// that order because each step needs the rights the next one gives up.
// "" when done, otherwise why not.
std::string BecomeAccount(const std::string& account) {
    if (account.empty()) return "unprivileged account: none named, the check runs as root";
    struct passwd entry;
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwnam_r(account.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return "unprivileged account: there is no account '" + account + "', the check runs as root";
    }
    if (found->pw_uid == 0) return "unprivileged account: '" + account + "' is root";
    if (::initgroups(found->pw_name, found->pw_gid) != 0 || ::setgid(found->pw_gid) != 0 ||
        ::setuid(found->pw_uid) != 0) {
        // Half a change of account is worse than none: end here.
        std::fprintf(stdout, "could not become the account '%s': %s\n", account.c_str(), std::strerror(errno));
        std::fflush(stdout);
        ::_exit(1);
    }
    return {};
}

}  // namespace

std::vector<std::string> ConfineEngineCheck(const std::string& account) {
    std::vector<std::string> skipped;
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        skipped.push_back(std::string("no new privileges: ") + std::strerror(errno));
    }
    if (::unshare(CLONE_NEWNET) != 0) {
        skipped.push_back(std::string("own network namespace: ") + std::strerror(errno));
    }
    // A write to a file fails with EFBIG instead of ending the process.
    ::signal(SIGXFSZ, SIG_IGN);
    if (!Limit(RLIMIT_FSIZE, 0)) skipped.push_back(std::string("file size limit: ") + std::strerror(errno));
    if (!Limit(RLIMIT_CPU, kCpuSeconds)) skipped.push_back(std::string("CPU time limit: ") + std::strerror(errno));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The sanitizers reserve terabytes of address space for themselves.
    if (!Limit(RLIMIT_AS, kAddressSpaceBytes)) {
        skipped.push_back(std::string("address space limit: ") + std::strerror(errno));
    }
#endif
    if (::geteuid() == 0) {
        if (std::string step = BecomeAccount(account); !step.empty()) skipped.push_back(std::move(step));
    }
    return skipped;
}

}  // namespace TesselSoftware
