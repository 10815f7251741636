// VexorDatUpdater -once killed with SIGKILL at random moments of its pass:
// the configured set must be complete at every moment, and a fresh pass
// must always succeed and install the newest version.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "Common/ProductKey.h"
#include "Common/RegistryKey.h"
#include "DatSiteBuilder.h"
#include "TestSupport.h"
#include "core/UpdaterSettings.h"

namespace TesselSoftware {
namespace {

using Testing::WriteFile;

class DatUpdateCrashTest : public ::testing::Test {
protected:
    DatUpdateCrashTest() : root_env_("VEXOR_SYSTEM_ROOT", dir_.path()), site_(dir_ / "site") {
        Testing::PrepareDatRoot(dir_.path());
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
        key.WriteString("LogPath", dir_ / "log");
    }

    // The configured set, if any, holds exactly the published files of its
    // version; returns that version (0 when none is configured).
    uint32_t CheckConfiguredSet() {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
        std::string path;
        uint32_t version = 0;
        if (!key.ReadString("DATPath", "", &path) || path.empty()) return 0;
        key.ReadDword("DATVersion", 0, &version);
        EXPECT_EQ(dir_ / ("dat/avvdat-" + std::to_string(version) + "-files"), path);
        for (const auto& [name, content] : Testing::DatFilesOf(version)) {
            EXPECT_EQ(content, Testing::ReadFile(path + "/" + name)) << path << "/" << name;
        }
        return version;
    }

    int RunOnce() {
        Testing::SpawnedProcess run({VEXOR_UPDATER_PROGRAM, "-once"});
        return run.Wait();
    }

    Testing::ScratchDir dir_;
    Testing::ScopedEnv root_env_;
    Testing::DatSite site_;
};

TEST_F(DatUpdateCrashTest, KilledPassesNeverLeaveAnIncompleteConfiguredSet) {
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> delay_ms(0, 120);
    int kills = 0;
    for (uint32_t version = 100; kills < 50; ++version) {
        site_.PublishFull(version);
        site_.WriteOem(version);
        {
            Testing::SpawnedProcess run({VEXOR_UPDATER_PROGRAM, "-once"});
            std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms(random)));
            run.Kill(SIGKILL);
            if (run.Wait() == 128 + SIGKILL) ++kills;
        }
        SCOPED_TRACE("after the kill at version " + std::to_string(version));
        const uint32_t configured = CheckConfiguredSet();
        EXPECT_TRUE(configured == 0 || configured == version || configured == version - 1)
            << configured;
        const int status = RunOnce();
        EXPECT_TRUE(status == 0 || status == 2) << status;
        EXPECT_EQ(version, CheckConfiguredSet());
        if (HasFailure()) break;
    }
    EXPECT_EQ(50, kills);
}

}  // namespace
}  // namespace TesselSoftware
