// Costs of the settings store: a full save (every value written durably,
// as after a settings change) and the locked DATPath + DATVersion read the
// plug-in does at each definition check.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <string>

#include "Common/Platform/NamedMutex.h"
#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "core/UpdaterSettings.h"

namespace {

using namespace TesselSoftware;

// Points the machine layout at a scratch folder for the process.
const std::string& ScratchRoot() {
    static const std::string root = [] {
        char folder[] = "/tmp/vexor-bench-settings-XXXXXX";
        const char* made = ::mkdtemp(folder);
        const std::string path = made ? made : "/tmp";
        ::setenv("VEXOR_SYSTEM_ROOT", path.c_str(), 1);
        return path;
    }();
    return root;
}

void BM_SaveEverything(benchmark::State& state) {
    ScratchRoot();
    UpdaterSettings settings;
    settings.Load();
    settings.SetDATPath("/var/lib/vexor/dat/avvdat-10001-files");
    settings.SetDATVersion(10001);
    settings.DatSourceSettings().SetPassword("secret");
    for (auto _ : state) settings.Save(SaveScope::Everything);
}
BENCHMARK(BM_SaveEverything)->Unit(benchmark::kMillisecond);

void BM_LockedDatPathAndVersionRead(benchmark::State& state) {
    ScratchRoot();
    {
        UpdaterSettings settings;
        settings.Load();
        settings.SetDATPath("/var/lib/vexor/dat/avvdat-10001-files");
        settings.SetDATVersion(10001);
        settings.Save(SaveScope::CheckResults);
    }
    uint32_t error = 0;
    auto lock = NamedMutex::Open(kRegistryLockName, &error);
    for (auto _ : state) {
        NamedMutex::Guard guard(*lock);
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
        std::string path;
        uint32_t version = 0;
        key.ReadString("DATPath", "", &path);
        key.ReadDword("DATVersion", 0, &version);
        benchmark::DoNotOptimize(version);
    }
}
BENCHMARK(BM_LockedDatPathAndVersionRead)->Unit(benchmark::kMicrosecond);

}  // namespace
