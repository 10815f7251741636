// Exclusive lock files: one holder per machine, released with the holder.
#include <gtest/gtest.h>
#include <signal.h>

#include "Common/Errors/Win32Error.h"
#include "Common/Platform/LockFile.h"
#include "TestSupport.h"

namespace TesselSoftware {
namespace {

TEST(ExclusiveLockFile, OneHolderAtATimeInAndAcrossProcesses) {
    Testing::ScratchDir dir;
    Testing::ScopedEnv root("VEXOR_SYSTEM_ROOT", dir.path());
    uint32_t error = 0;
    auto held = ExclusiveLockFile::TryAcquire("pass.lock", &error);
    ASSERT_TRUE(held) << error;
    EXPECT_EQ(dir.path() + "/run/lock/pass.lock", held->path());

    EXPECT_FALSE(ExclusiveLockFile::TryAcquire("pass.lock", &error));  // not recursive
    EXPECT_EQ(Win32::kBusy, error);
    const auto other = Testing::RunInChild(
        [](int) {
            uint32_t child_error = 0;
            return ExclusiveLockFile::TryAcquire("pass.lock", &child_error)
                       ? 0
                       : static_cast<int>(child_error);
        },
        false);
    EXPECT_EQ(static_cast<int>(Win32::kBusy), other.status);

    held.reset();
    EXPECT_TRUE(ExclusiveLockFile::TryAcquire("pass.lock", &error));
}

TEST(ExclusiveLockFile, AHolderThatDiesReleasesIt) {
    Testing::ScratchDir dir;
    Testing::ScopedEnv root("VEXOR_SYSTEM_ROOT", dir.path());
    const auto child = Testing::RunInChild(
        [](int) {
            uint32_t error = 0;
            auto lock = ExclusiveLockFile::TryAcquire("pass.lock", &error);
            ::raise(SIGKILL);
            return 1;
        },
        false);
    EXPECT_EQ(128 + SIGKILL, child.status);
    uint32_t error = 0;
    EXPECT_TRUE(ExclusiveLockFile::TryAcquire("pass.lock", &error)) << error;
}

}  // namespace
}  // namespace TesselSoftware
