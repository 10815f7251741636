#include "dat/CheckConfinement.h"

#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>

namespace TesselSoftware {

namespace {

constexpr rlim_t kCpuSeconds = 120;
constexpr rlim_t kAddressSpaceBytes = rlim_t{8} << 30;

bool Limit(int resource, rlim_t value) {
    const struct rlimit limit = {value, value};
    return ::setrlimit(resource, &limit) == 0;
}

}  // namespace

std::vector<std::string> ConfineEngineCheck() {
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
    return skipped;
}

}  // namespace TesselSoftware
