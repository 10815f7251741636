// The engine start check's confinement, seen from inside a confined child:
// it can write no file, and as root it reaches no network.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "TestSupport.h"
#include "dat/CheckConfinement.h"

namespace TesselSoftware {
namespace {

TEST(CheckConfinement, AConfinedProcessWritesNoFileAndAsRootReachesNoNetwork) {
    Testing::ScratchDir dir;
    // A listener the child would reach without its own network namespace.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, ::listen(listener, 1));
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const auto child = Testing::RunInChild(
        [&](int out) {
            const std::vector<std::string> skipped = ConfineEngineCheck();
            int result = 0;
            const int file = ::open((dir / "written").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            if (file >= 0 && ::write(file, "x", 1) == 1) result |= 1;
            if (file >= 0) ::close(file);
            const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) result |= 2;
            std::string text;
            for (const std::string& s : skipped) text += s + "\n";
            if (::write(out, text.data(), text.size()) < 0) return 9;
            return result;
        },
        false);
    ::close(listener);
    EXPECT_EQ(0, child.status & 1) << "the confined child wrote a file";
    if (::geteuid() == 0) {
        EXPECT_EQ(0, child.status & 2) << "the confined child reached 127.0.0.1";
        EXPECT_EQ("", child.output);
    } else {
        EXPECT_NE(std::string::npos, child.output.find("own network namespace")) << child.output;
    }
}

}  // namespace
}  // namespace TesselSoftware
