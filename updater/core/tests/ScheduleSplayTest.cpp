// The spread of a fleet's checks: a fixed offset per machine, from its id.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "TestSupport.h"
#include "core/ScheduleSplay.h"
#include "core/UpdaterSettings.h"

namespace TesselSoftware {
namespace {

TEST(ScheduleSplay, OffsetsAreFixedPerMachineWithinTheSplay) {
    const std::string id = "4c4c4544004e3510804cb4c04f584d32";
    const struct Row {
        int64_t splay;
        int64_t low, high;  // the offset lies in [low, high]
    } rows[] = {{0, 0, 0}, {-60, 0, 0}, {1, 0, 0}, {600, 0, 599}, {3600, 0, 3599}};
    for (const Row& row : rows) {
        const int64_t offset = SplayOffset(id, row.splay);
        EXPECT_LE(row.low, offset) << row.splay;
        EXPECT_GE(row.high, offset) << row.splay;
        EXPECT_EQ(offset, SplayOffset(id, row.splay)) << "not fixed for splay " << row.splay;
    }
    EXPECT_EQ(SplayOffset(id, 3600), SplayOffset(id, 86400)) << "above an hour counts as an hour";

    // A fleet of machine ids lands all over the hour, not in a few seconds.
    std::set<int64_t> half_minutes;
    for (int machine = 0; machine < 200; ++machine) {
        half_minutes.insert(SplayOffset("machine-" + std::to_string(machine) + "-id", 3600) / 30);
    }
    EXPECT_GT(half_minutes.size(), 80u) << "200 machines share only " << half_minutes.size() << " of 120 half-minutes";
}

TEST(ScheduleSplay, TheNextCheckCarriesTheMachinesOffset) {
    Testing::ScratchDir dir;
    Testing::ScopedEnv root("VEXOR_SYSTEM_ROOT", dir.path());
    Testing::WriteFile(dir / "etc/machine-id", "0f1e2d3c4b5a69788796a5b4c3d2e1f0\n");
    EXPECT_EQ("0f1e2d3c4b5a69788796a5b4c3d2e1f0", MachineIdentity());
    RegistryKey key;
    key.Create(RegistryRoot::kLocalMachine, kProductKeyPath);
    key.WriteDword("UpdateSplaySeconds", 900);
    key.WriteQword("UpdateInterval", 1800);

    UpdaterSettings settings;
    settings.Load();
    const int64_t offset = SplayOffset("0f1e2d3c4b5a69788796a5b4c3d2e1f0", 900);
    EXPECT_EQ(900, settings.UpdateSplay());
    EXPECT_EQ(offset, settings.SplayOffset());
    // The next check is this machine's next slot (k * interval + offset),
    // at most an interval away: the splay moves the phase, not the rate.
    const auto expect_slot_after = [&](int64_t t, int64_t interval) {
        SCOPED_TRACE("check at " + std::to_string(t) + ", interval " + std::to_string(interval));
        const int64_t next = settings.NextCheckTime();
        EXPECT_GT(next, t);
        EXPECT_LE(next - t, interval);
        EXPECT_EQ(0, (next - offset) % interval);
    };
    for (const int64_t t : {int64_t{1'000'000}, int64_t{1'000'777}, 1'000'000 + 1800 * 7 + offset}) {
        settings.SetLastCheckTime(t);
        expect_slot_after(t, 1800);
    }
    settings.SetLastCheckTime(1'000'000);
    const int64_t slot = settings.NextCheckTime();
    settings.SetLastCheckTime(slot);  // a check on its slot: the next is one interval on
    EXPECT_EQ(slot + 1800, settings.NextCheckTime());
    settings.SetUpdateInterval(600);
    expect_slot_after(slot, 600);

    // Out of range in the store: held to an hour. Back to 0: today's schedule.
    key.WriteDword("UpdateSplaySeconds", 100000);
    settings.Load();
    EXPECT_EQ(3600, settings.UpdateSplay());
    key.WriteDword("UpdateSplaySeconds", 0);
    settings.Load();
    settings.SetLastCheckTime(2'000'000);
    EXPECT_EQ(2'000'000 + settings.UpdateInterval(), settings.NextCheckTime());

    // Without a machine id, the host name stands in.
    std::filesystem::remove(dir / "etc/machine-id");
    EXPECT_FALSE(MachineIdentity().empty());
}

}  // namespace
}  // namespace TesselSoftware
