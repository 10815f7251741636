// The trusted-keys folder as an administrator or an attacker may leave it:
// it never blocks a pass, and it never switches signature checks off by
// being something other than a folder of keys.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "Common/Signatures/Minisign.h"
#include "TestSupport.h"
#include "UpdaterTestSupport.h"
#include "core/UpdaterCore.h"
#include "sources/TrustedKeys.h"

namespace TesselSoftware {
namespace {

namespace fs = std::filesystem;

class TrustedKeysTest : public ::testing::Test, protected Testing::CoreUnderTest {
protected:
    TrustedKeysTest() {
        std::string secret, error;
        EXPECT_TRUE(Minisign::GenerateKeyPair(&key_text_, &secret, &error)) << error;
    }
    std::string Folder() const { return dir / "etc/vexor/trusted-keys"; }
    // What a pass says of the folder: "checked" (keys in force), "unchecked"
    // (no key), or the reason every pass fails.
    std::string PassVerdict() {
        std::string failure;
        if (!core.UseTrustedKeys(&failure)) return failure;
        return RequiredSigners() ? "checked" : "unchecked";
    }
    std::string key_text_;
};

// A FIFO under a key's name is skipped at once, never waited on; a key
// file with a comment or a blank line added, or CRLF line ends, is read as
// minisign reads it; a link to a key file is a key file.
TEST_F(TrustedKeysTest, OnlyRegularKeyFilesAreReadAndNoneBlocks) {
    fs::create_directories(Folder());
    ASSERT_EQ(0, ::mkfifo((Folder() + "/x.pub").c_str(), 0600));
    Testing::WriteFile(dir / "elsewhere/real.pub", key_text_);
    fs::create_symlink(dir / "elsewhere/real.pub", Folder() + "/linked.pub");
    const auto started = std::chrono::steady_clock::now();
    TrustedKeys trusted = LoadTrustedKeys();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(1u, trusted.keys.size());
    EXPECT_EQ((std::vector<std::string>{"x.pub: it is not a regular file"}), trusted.problems);

    std::string crlf;
    for (const char c : key_text_) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    for (const std::string& text : {key_text_ + "# the publisher's 2027 key\n", key_text_ + "\n", crlf}) {
        Testing::WriteFile(Folder() + "/annotated.pub", text);
        trusted = LoadTrustedKeys();
        EXPECT_EQ(2u, trusted.keys.size()) << text;
    }
    EXPECT_EQ("checked", PassVerdict());
}

// Something that is not a folder where the folder should be (what
// "cp key.pub /etc/vexor/trusted-keys" makes when it is missing, or a
// dangling link) fails every pass with the reason; only a missing folder
// means "no key".
TEST_F(TrustedKeysTest, AFolderThatIsNoFolderFailsClosed) {
    EXPECT_EQ("unchecked", PassVerdict());
    fs::create_directories(dir / "etc/vexor");
    Testing::WriteFile(Folder(), key_text_);
    EXPECT_EQ("The trusted-keys folder cannot be used: " + Folder() + " is not a folder, so no update can be checked",
              PassVerdict());
    fs::remove(Folder());
    fs::create_symlink(dir / "nowhere", Folder());
    EXPECT_EQ("The trusted-keys folder cannot be used: " + Folder() + " is not a folder, so no update can be checked",
              PassVerdict());
    fs::remove(Folder());
    fs::create_directories(Folder());
    ASSERT_EQ(0, ::mkfifo((Folder() + "/only.pub").c_str(), 0600));
    EXPECT_NE(std::string::npos, PassVerdict().find("None of the trusted key files")) << "a FIFO switched checks off";
}

}  // namespace
}  // namespace TesselSoftware
