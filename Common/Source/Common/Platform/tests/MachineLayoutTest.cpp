#include <gtest/gtest.h>

#include "Common/Platform/MachineLayout.h"
#include "TestSupport.h"

namespace TesselSoftware {
namespace {

using Testing::ScopedEnv;

TEST(MachineLayout, LinuxDefaultsWithoutSystemRoot) {
    ScopedEnv root("VEXOR_SYSTEM_ROOT", "");
    EXPECT_EQ("/var/lib/vexor/registry.db", MachineLayout::RegistryStorePath());
    EXPECT_EQ("/run/vexor", MachineLayout::RuntimeDirectory());
    EXPECT_EQ("/run/lock", MachineLayout::LockDirectory());
    EXPECT_EQ("/etc/systemd/system", MachineLayout::SystemdUnitDirectory());
    EXPECT_EQ("/opt/vexor/", MachineLayout::DefaultInstallPath());
    EXPECT_EQ("/var/lib/vexor/crash", MachineLayout::CrashDirectory());
}

TEST(MachineLayout, EverythingMovesUnderSystemRoot) {
    ScopedEnv root("VEXOR_SYSTEM_ROOT", "/tmp/scratch//");
    EXPECT_EQ("/tmp/scratch", MachineLayout::SystemRoot());
    EXPECT_EQ("/tmp/scratch/var/lib/vexor/registry.db", MachineLayout::RegistryStorePath());
    EXPECT_EQ("/tmp/scratch/run/vexor", MachineLayout::RuntimeDirectory());
    EXPECT_EQ("/tmp/scratch/run/lock", MachineLayout::LockDirectory());
    EXPECT_EQ("/tmp/scratch/etc/systemd/system", MachineLayout::SystemdUnitDirectory());
    EXPECT_EQ("/tmp/scratch/var/lib/vexor/dat", MachineLayout::DefaultDatFolder());
    EXPECT_EQ("/tmp/scratch/var/log/vexor", MachineLayout::DefaultLogPath());
    EXPECT_EQ("/tmp/scratch/var/lib/vexor/crash", MachineLayout::CrashDirectory());
}

}  // namespace
}  // namespace TesselSoftware
