// Replacing a file atomically in a folder another account may try to
// redirect: the file lands only in the folder named, or nowhere.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "Common/Files/AtomicFile.h"
#include "TestSupport.h"

namespace TesselSoftware {
namespace {

namespace fs = std::filesystem;
using Testing::ReadFile;
using Testing::ScratchDir;
using Testing::SortedNames;
using Testing::WriteFile;

TEST(AtomicFile, ReplacesTheFileWholeAndLeavesNoTemporary) {
    ScratchDir dir;
    WriteFile(dir / "out/vexor.prom", "old\n");
    EXPECT_EQ("", WriteFileAtomically(dir / "out/vexor.prom", "new\n"));
    EXPECT_EQ("new\n", ReadFile(dir / "out/vexor.prom"));
    EXPECT_EQ(std::vector<std::string>{"vexor.prom"}, SortedNames(dir / "out"));
    struct stat info {};
    ASSERT_EQ(0, ::stat((dir / "out/vexor.prom").c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(0644u, info.st_mode & 0644) << "readable by the collector";
}

// What another account can plant: a link in place of the folder, a link or
// a FIFO in place of the file. Each is refused at once, and nothing is
// written where it points.
TEST(AtomicFile, APlantedLinkOrFifoRedirectsNothing) {
    ScratchDir dir;
    fs::create_directories(dir / "real");
    fs::create_directories(dir / "elsewhere");
    fs::create_symlink(dir / "elsewhere", dir / "linked");
    const std::string through_link = WriteFileAtomically(dir / "linked/vexor.prom", "x");
    EXPECT_NE(std::string::npos, through_link.find("cannot be opened (a link is not taken)")) << through_link;
    EXPECT_TRUE(SortedNames(dir / "elsewhere").empty());

    WriteFile(dir / "secret", "root's\n");
    fs::create_symlink(dir / "secret", dir / "real/vexor.prom");
    EXPECT_NE("", WriteFileAtomically(dir / "real/vexor.prom", "x"));
    EXPECT_EQ("root's\n", ReadFile(dir / "secret"));
    fs::remove(dir / "real/vexor.prom");

    ASSERT_EQ(0, ::mkfifo((dir / "real/vexor.prom").c_str(), 0600));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ("cannot write " + dir / "real/vexor.prom" + ": it is not a regular file",
              WriteFileAtomically(dir / "real/vexor.prom", "x"));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(std::vector<std::string>{"vexor.prom"}, SortedNames(dir / "real"));
}

// A folder another account owns could have a link swapped in at any time:
// it is refused (as root, the test hands a folder to nobody).
TEST(AtomicFile, AFolderOfAnotherAccountIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand a folder to another account";
    ScratchDir dir;
    fs::create_directories(dir / "theirs");
    ASSERT_EQ(0, ::chown((dir / "theirs").c_str(), Testing::kNobodyId, Testing::kNobodyId));
    const std::string failure = WriteFileAtomically(dir / "theirs/vexor.prom", "x");
    EXPECT_NE(std::string::npos, failure.find("belongs to another account")) << failure;
    EXPECT_TRUE(SortedNames(dir / "theirs").empty());
}

}  // namespace
}  // namespace TesselSoftware
