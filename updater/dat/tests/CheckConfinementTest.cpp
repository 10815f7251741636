// The engine start check's sandbox, seen from inside a confined child and
// from a hostile engine release that tries, during its start, everything a
// release from a bad update source would: leave processes behind, fork
// without end, kill the service, read the machine's secrets, change the
// installed files, join the service's network and reach out.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "TestSupport.h"
#include "core/UpdaterSettings.h"
#include "dat/CheckConfinement.h"
#include "dat/EngineStartCheck.h"

namespace TesselSoftware {
namespace {

namespace fs = std::filesystem;

// A TCP listener on 127.0.0.1 that anything without a network namespace of
// its own would reach.
class LoopbackListener {
public:
    LoopbackListener() : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        address_.sin_family = AF_INET;
        address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address_;
        if (::bind(socket_, reinterpret_cast<sockaddr*>(&address_), sizeof address_) != 0 ||
            ::listen(socket_, 4) != 0 || ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address_), &length) != 0) {
            ADD_FAILURE() << "no listener on 127.0.0.1";
        }
    }
    ~LoopbackListener() { ::close(socket_); }
    int port() const { return ntohs(address_.sin_port); }

private:
    int socket_;
    sockaddr_in address_{};
};

// A process that stands for the service: the release must not end it.
class SleepingProcess {
public:
    SleepingProcess() : pid_(::fork()) {
        if (pid_ == 0) {
            for (;;) ::pause();
        }
    }
    ~SleepingProcess() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    pid_t pid() const { return pid_; }
    bool Alive() const { return ::waitpid(pid_, nullptr, WNOHANG) == 0; }

private:
    pid_t pid_;
};

// A world-readable folder outside the scratch roots, as the check's account
// reads the installation's.
class OpenFolder {
public:
    OpenFolder() {
        char pattern[] = "/tmp/vexor-check-XXXXXX";
        path_ = ::mkdtemp(pattern);
        ::chmod(path_.c_str(), 0755);
    }
    ~OpenFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    fs::path operator/(const std::string& name) const { return path_ / name; }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

int ProcessesNamed(const std::string& name) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::ifstream comm(entry.path() / "comm");
        std::string line;
        if (std::getline(comm, line) && line == name) ++count;
    }
    return count;
}

std::string Contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Whether this machine lets the check build its sandbox at all: as root
// always; unprivileged only with user namespaces.
bool SandboxPossible() {
    if (::geteuid() == 0) return true;
    const auto child = Testing::RunInChild(
        [](int) { return ::unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWNET) == 0 ? 0 : 1; },
        false);
    return child.status == 0;
}

std::vector<std::string> AccountsToTry() {
    // As root: the check's own account (where the package made it; nobody
    // stands in for it elsewhere), and a machine where it is missing, which
    // keeps uid 0 without capabilities.
    if (::geteuid() != 0) return {""};
    const bool packaged = ::getpwnam(kEngineCheckAccount) != nullptr;
    return {packaged ? kEngineCheckAccount : "nobody", "no-such-account-vexor"};
}

TEST(CheckConfinement, InsideTheSandboxNothingIsWritableAndNothingOfTheMachineIsInView) {
    if (!SandboxPossible()) GTEST_SKIP() << "no user namespaces for an unprivileged sandbox here";
    OpenFolder folder;
    std::ofstream(folder / "avvscan.dat") << "definitions";
    ::chmod((folder / "avvscan.dat").c_str(), 0644);
    for (const std::string& account : AccountsToTry()) {
        SCOPED_TRACE("account '" + account + "'");
        const auto child = Testing::RunInChild(
            [&](int out) {
                const std::vector<std::string> skipped = ConfineEngineCheck(account, {folder.path().string()});
                int found = 0;
                // Its parent is PID 1 of a namespace that holds the two alone.
                int processes = 0;
                for (const auto& entry : fs::directory_iterator("/proc")) {
                    processes += entry.path().filename().string().find_first_not_of("0123456789") == std::string::npos;
                }
                if (::getppid() != 1 || processes != 2) found |= 1;
                if (::access("/etc/passwd", F_OK) == 0 || ::access("/var", F_OK) == 0) found |= 2;
                const int file = ::open((folder / "new").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
                if (file >= 0 || ::mkdir("/made", 0755) == 0 || ::open("/dev/null", O_WRONLY) < 0) found |= 4;
                std::ifstream status("/proc/self/status");
                for (std::string line; std::getline(status, line);) {
                    if ((line.rfind("CapEff:", 0) == 0 || line.rfind("CapBnd:", 0) == 0 ||
                         line.rfind("CapPrm:", 0) == 0) &&
                        line.find_first_not_of("0\t ", 7) != std::string::npos) {
                        found |= 8;
                    }
                    if (line.rfind("NoNewPrivs:", 0) == 0 && line.find('1') == std::string::npos) found |= 16;
                }
                if (::sethostname("hostile", 7) == 0) found |= 32;
                if (account != "no-such-account-vexor" && ::geteuid() == 0) found |= 64;
                if (Contents(folder / "avvscan.dat") != "definitions") found |= 128;
                std::string text;
                for (const std::string& s : skipped) text += s + "\n";
                if (::write(out, text.data(), text.size()) < 0) return 255;
                return found;
            },
            false);
        EXPECT_EQ(0, child.status & 1) << "the check is not alone with its PID 1 in a namespace of its own";
        EXPECT_EQ(0, child.status & 2) << "/etc or /var is in view";
        EXPECT_EQ(0, child.status & 4) << "something was writable, or /dev/null missing";
        EXPECT_EQ(0, child.status & 8) << "a capability is left";
        EXPECT_EQ(0, child.status & 16) << "new privileges are possible";
        EXPECT_EQ(0, child.status & 32) << "the host name could be changed";
        EXPECT_EQ(0, child.status & 64) << "the check is still root";
        EXPECT_EQ(0, child.status & 128) << "the folder given is not readable";
        EXPECT_EQ(std::string::npos, child.output.find("namespaces")) << child.output;
        if (account == "no-such-account-vexor") {
            EXPECT_NE(std::string::npos, child.output.find("there is no account 'no-such-account-vexor'"));
        }
    }
}

TEST(CheckConfinement, AHostileReleaseReachesNothingAndLeavesNothingRunning) {
    if (!SandboxPossible()) GTEST_SKIP() << "no user namespaces for an unprivileged sandbox here";
    OpenFolder top;
    for (const char* name : {"engine", "set", "installed", "outside"}) fs::create_directories(top / name);
    ::chmod((top / "outside").c_str(), 01777);
    fs::copy_file(fs::path(VEXOR_FAKE_ENGINES) / "mode6" / kEngineLibraryName, top / "engine" / kEngineLibraryName);
    for (const char* name : kDatFileNames) {
        std::ofstream(top / "set" / name) << "definitions";
        std::ofstream(top / "installed" / name) << "installed definitions";
    }
    std::ofstream(top / "secrets.db") << "the share's password";
    ::chmod((top / "secrets.db").c_str(), 0600);
    fs::copy_file(top / "engine" / kEngineLibraryName, top / "installed" / kEngineLibraryName);
    for (const auto& entry : fs::recursive_directory_iterator(top.path())) {
        if (entry.is_directory() && entry.path().filename() != "outside") ::chmod(entry.path().c_str(), 0755);
        if (entry.is_regular_file() && entry.path().filename() != "secrets.db") ::chmod(entry.path().c_str(), 0644);
    }
    const std::string engine_bytes = Contents(top / "engine" / kEngineLibraryName);

    LoopbackListener listener;
    SleepingProcess service;
    Testing::ScopedEnv file_env("VEXOR_PROBE_FILE", (top / "outside" / "left-behind").string());
    Testing::ScopedEnv port_env("VEXOR_PROBE_PORT", std::to_string(listener.port()));
    Testing::ScopedEnv pid_env("VEXOR_PROBE_PID", std::to_string(service.pid()));
    Testing::ScopedEnv read_env("VEXOR_PROBE_READ", "/etc/shadow:" + (top / "secrets.db").string());
    std::string change;
    for (const char* folder : {"installed", "set"}) {
        for (const char* name : kDatFileNames) change += (top / folder / name).string() + ":";
    }
    change += (top / "installed" / kEngineLibraryName).string() + ":" + (top / "engine" / kEngineLibraryName).string();
    Testing::ScopedEnv change_env("VEXOR_PROBE_CHANGE", change);
    Testing::ScopedEnv forks_env("VEXOR_PROBE_FORKS", "1000");
    Testing::ScopedEnv daemon_env("VEXOR_PROBE_DAEMON", "1");
    SetEngineCheckProgramForTesting(VEXOR_ENGINE_CHECK);

    for (const std::string& account : AccountsToTry()) {
        SCOPED_TRACE("account '" + account + "'");
        SetEngineCheckAccountForTesting(account);
        std::vector<std::string> skipped;
        const std::string reason =
            CheckDatSetStarts((top / "engine").string(), (top / "set").string(), kEngineStartCheckTimeoutMs, &skipped);

        // Status 100 + what worked (see FakeEngine.cpp): 1 wrote, 2 connected,
        // 4 killed, 8 read a secret, 16 changed a file, 32 forked 1000 times,
        // 64 joined the service's network.
        EXPECT_EQ("", reason) << "the release reached something, or did not start";
        EXPECT_EQ(0, ProcessesNamed("vexor-hostile")) << "the release left processes running";
        EXPECT_TRUE(service.Alive()) << "the release killed the service";
        EXPECT_FALSE(fs::exists(top / "outside" / "left-behind"));
        for (const char* name : kDatFileNames) {
            EXPECT_EQ("definitions", Contents(top / "set" / name));
            EXPECT_EQ("installed definitions", Contents(top / "installed" / name));
        }
        EXPECT_EQ(engine_bytes, Contents(top / "installed" / kEngineLibraryName));
        EXPECT_EQ(engine_bytes, Contents(top / "engine" / kEngineLibraryName));
        for (const std::string& step : skipped) {
            EXPECT_EQ(std::string::npos, step.find("namespace")) << step;
        }
    }
    SetEngineCheckAccountForTesting("");
}

// An engine that aborts, or dies of a fault, inside the sandbox is reported
// as the crash it is, at once: it does not run as the namespace's PID 1,
// which would ignore the signal and hang until the time-out.
TEST(CheckConfinement, AnEngineThatAbortsOrFaultsIsACrashNotAHang) {
    if (!SandboxPossible()) GTEST_SKIP() << "no user namespaces for an unprivileged sandbox here";
    OpenFolder top;
    fs::create_directories(top / "engine");
    fs::copy_file(fs::path(VEXOR_FAKE_ENGINES) / "mode1" / kEngineLibraryName, top / "engine" / kEngineLibraryName);
    SetEngineCheckProgramForTesting(VEXOR_ENGINE_CHECK);
    SetEngineCheckAccountForTesting(AccountsToTry().front());
    for (const auto& [content, signal] : {std::pair{"abort", SIGABRT}, std::pair{"crash", SIGILL}}) {
        SCOPED_TRACE(content);
        fs::remove_all(top / "set");
        fs::create_directories(top / "set");
        for (const char* name : kDatFileNames) std::ofstream(top / "set" / name) << content;
        for (const auto& entry : fs::recursive_directory_iterator(top.path())) {
            ::chmod(entry.path().c_str(), entry.is_directory() ? 0755 : 0644);
        }
        EXPECT_EQ("the engine crashed (signal " + std::to_string(signal) + ")",
                  CheckDatSetStarts((top / "engine").string(), (top / "set").string(), 20000));
    }
    SetEngineCheckAccountForTesting("");
}

}  // namespace
}  // namespace TesselSoftware
