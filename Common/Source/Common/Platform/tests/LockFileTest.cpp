// Lock files: one holder per machine, released with the holder, and never
// open to accounts outside the system.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Common/Errors/Win32Error.h"
#include "Common/Platform/LockFile.h"
#include "TestSupport.h"

namespace TesselSoftware {
namespace {

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(ExclusiveLockFile, OneHolderAtATimeInAndAcrossProcesses) {
    Testing::ScratchDir dir;
    const std::string path = dir / "pass.lock";
    uint32_t error = 0;
    auto held = ExclusiveLockFile::TryAcquireAt(path, &error);
    ASSERT_TRUE(held) << error;
    EXPECT_EQ(path, held->path());

    EXPECT_FALSE(ExclusiveLockFile::TryAcquireAt(path, &error));  // not recursive
    EXPECT_EQ(Win32::kBusy, error);
    const auto other = Testing::RunInChild(
        [&](int) {
            uint32_t child_error = 0;
            return ExclusiveLockFile::TryAcquireAt(path, &child_error)
                       ? 0
                       : static_cast<int>(child_error);
        },
        false);
    EXPECT_EQ(static_cast<int>(Win32::kBusy), other.status);

    held.reset();
    EXPECT_TRUE(ExclusiveLockFile::TryAcquireAt(path, &error));
}

TEST(ExclusiveLockFile, AHolderThatDiesReleasesIt) {
    Testing::ScratchDir dir;
    const std::string path = dir / "pass.lock";
    const auto child = Testing::RunInChild(
        [&](int) {
            uint32_t error = 0;
            auto lock = ExclusiveLockFile::TryAcquireAt(path, &error);
            ::raise(SIGKILL);
            return 1;
        },
        false);
    EXPECT_EQ(128 + SIGKILL, child.status);
    uint32_t error = 0;
    EXPECT_TRUE(ExclusiveLockFile::TryAcquireAt(path, &error)) << error;
}

TEST(LockFileAccess, FilesGetTheirModeWhateverTheUmaskAndAnOldWideModeIsNarrowed) {
    Testing::ScratchDir dir;
    const mode_t old_umask = ::umask(0);
    uint32_t error = 0;
    const int private_fd = OpenSharedLockFile(dir / "private.lock", kPrivateLockFile, &error);
    ::umask(old_umask);
    ASSERT_GE(private_fd, 0);
    ::close(private_fd);
    EXPECT_EQ(0600u, ModeOf(dir / "private.lock"));

    // Lock files earlier versions left world-writable, or open to a group.
    for (const mode_t old_mode : {0666, 0660}) {
        ::chmod((dir / "private.lock").c_str(), old_mode);
        const int fd = OpenSharedLockFile(dir / "private.lock", kPrivateLockFile, &error);
        ASSERT_GE(fd, 0);
        ::close(fd);
        EXPECT_EQ(0600u, ModeOf(dir / "private.lock")) << std::oct << old_mode;
    }
}

TEST(LockFileAccess, AnOutsideAccountCanNeitherOpenNorPlantALockFile) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another account";
    Testing::ScratchDir dir;
    ::chmod(dir.path().c_str(), 01777);  // like /run/lock
    uint32_t error = 0;
    const int fd = OpenSharedLockFile(dir / "private.lock", kPrivateLockFile, &error);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const auto outsider = Testing::RunInChild(
        [&](int) {
            const int opened = ::open((dir / "private.lock").c_str(), O_RDWR);
            const int planted = ::open((dir / "planted.lock").c_str(), O_RDWR | O_CREAT, 0666);
            if (planted >= 0) ::fchmod(planted, 0666);
            return (opened < 0 ? 0 : 1) | (planted >= 0 ? 0 : 2);
        },
        true);
    EXPECT_EQ(0, outsider.status) << "1: opened a private lock, 2: could not plant";

    // Root replaces the planted file by its own before locking it.
    auto lock = ExclusiveLockFile::TryAcquireAt(dir / "planted.lock", &error);
    ASSERT_TRUE(lock) << error;
    struct stat st {};
    ASSERT_EQ(0, ::stat((dir / "planted.lock").c_str(), &st));
    EXPECT_EQ(0u, st.st_uid);
    EXPECT_EQ(0600u, st.st_mode & 07777);
}

}  // namespace
}  // namespace TesselSoftware
