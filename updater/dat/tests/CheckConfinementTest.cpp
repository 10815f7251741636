// The engine start check's confinement, seen from inside a confined child
// and from an engine release that tries to reach out during its start: it
// can write no file, and as root it reaches no network and is no longer root.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

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
    const sockaddr_in& address() const { return address_; }
    int port() const { return ntohs(address_.sin_port); }

private:
    int socket_;
    sockaddr_in address_{};
};

TEST(CheckConfinement, AConfinedProcessWritesNoFileAndAsRootReachesNoNetwork) {
    Testing::ScratchDir dir;
    LoopbackListener listener;
    const auto child = Testing::RunInChild(
        [&](int out) {
            const std::vector<std::string> skipped = ConfineEngineCheck("nobody");
            int result = 0;
            const int file = ::open((dir / "written").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            if (file >= 0 && ::write(file, "x", 1) == 1) result |= 1;
            if (file >= 0) ::close(file);
            const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::connect(socket, reinterpret_cast<const sockaddr*>(&listener.address()), sizeof(sockaddr_in)) == 0) {
                result |= 2;
            }
            if (::geteuid() == 0 || ::getegid() == 0) result |= 4;
            std::string text;
            for (const std::string& s : skipped) text += s + "\n";
            if (::write(out, text.data(), text.size()) < 0) return 9;
            return result;
        },
        false);
    EXPECT_EQ(0, child.status & 1) << "the confined child wrote a file";
    EXPECT_EQ(0, child.status & 4) << "the confined child is still root";
    if (::geteuid() == 0) {
        EXPECT_EQ(0, child.status & 2) << "the confined child reached 127.0.0.1";
        EXPECT_EQ("", child.output);
    } else {
        EXPECT_NE(std::string::npos, child.output.find("own network namespace")) << child.output;
    }
}

TEST(CheckConfinement, AsRootWithoutTheAccountTheCheckSaysItRanAsRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root changes its account";
    const auto child = Testing::RunInChild(
        [&](int out) {
            std::string text;
            for (const std::string& s : ConfineEngineCheck("no-such-account-vexor")) text += s + "\n";
            return ::write(out, text.data(), text.size()) < 0 ? 9 : 0;
        },
        false);
    EXPECT_NE(std::string::npos, child.output.find("there is no account 'no-such-account-vexor'")) << child.output;
}

// An engine release from an update source that, while the check starts it,
// tries to leave a file outside its folder and to open a TCP connection.
// The check runs it as the test's account "nobody" in a world-readable
// folder, as the service's check account reads the installation's.
TEST(CheckConfinement, AnEngineReleaseThatReachesOutDoesNeitherFromTheCheckAndIsJudgedByItsStart) {
    char pattern[] = "/tmp/vexor-check-XXXXXX";
    ASSERT_NE(nullptr, ::mkdtemp(pattern));
    const fs::path top = pattern;
    ::chmod(top.c_str(), 0755);
    fs::create_directories(top / "engine");
    fs::create_directories(top / "set");
    fs::create_directories(top / "outside");
    ::chmod((top / "outside").c_str(), 01777);
    fs::copy_file(fs::path(VEXOR_FAKE_ENGINES) / "mode6" / kEngineLibraryName, top / "engine" / kEngineLibraryName);
    for (const char* name : kDatFileNames) std::ofstream(top / "set" / name) << "definitions";
    LoopbackListener listener;
    Testing::ScopedEnv file_env("VEXOR_PROBE_FILE", (top / "outside" / "left-behind").string());
    Testing::ScopedEnv port_env("VEXOR_PROBE_PORT", std::to_string(listener.port()));
    SetEngineCheckProgramForTesting(VEXOR_ENGINE_CHECK);
    SetEngineCheckAccountForTesting("nobody");

    const std::string reason = CheckDatSetStarts((top / "engine").string(), (top / "set").string());

    SetEngineCheckAccountForTesting("");
    std::error_code ignored;
    const auto written = fs::file_size(top / "outside" / "left-behind", ignored);
    fs::remove_all(top);
    if (::geteuid() == 0) {
        EXPECT_EQ("", reason) << "the release reached out, or did not start";
    } else {
        // Without root there is no network namespace: the connection works,
        // which shows the release tries; the write still fails.
        EXPECT_EQ("the engine refused the set: AVInitialise returned 102", reason);
    }
    EXPECT_TRUE(written == 0 || written == static_cast<uintmax_t>(-1)) << written << " bytes written outside";
}

}  // namespace
}  // namespace TesselSoftware
