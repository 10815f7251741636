// The DAT updater's scenario fixture: a scratch system root with a DAT
// folder, a local-folder source, 7za and a stand-in engine configured in its
// registry store, and one UpdaterCore running passes against it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Common/Errors/ExceptionBase.h"
#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "DatSiteBuilder.h"
#include "TestSupport.h"
#include "UpdaterTestSupport.h"
#include "core/UpdaterCore.h"
#include "sources/DownloaderFS.h"

namespace TesselSoftware {

// A scratch system root with a DAT folder, a local-folder source, 7za and
// the stand-in engine configured in its registry store.
class DatScenario {
public:
    DatScenario() : root_env_("VEXOR_SYSTEM_ROOT", dir_.path()), site_(dir_ / "site") {
        Testing::PrepareDatRoot(dir_.path());
        UseEngine(1);
        core_.Load();
    }

    // EnginePath -> the fake engine of the given mode (0: none at all).
    void UseEngine(int mode) {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
        key.WriteString("EnginePath", mode == 0 ? dir_ / "no-engine"
                                                : std::string(VEXOR_FAKE_ENGINES) + "/mode" +
                                                      std::to_string(mode));
    }

    // Runs a pass; "installed", "up to date" or the failure text.
    std::string Pass() {
        try {
            return core_.GetDatUpdater().RunDatUpdate() ? "installed" : "up to date";
        } catch (const ExceptionBase& e) {
            return e.Message();
        }
    }

    std::string Set(uint32_t version) const {
        return dir_ / ("dat/avvdat-" + std::to_string(version) + "-files");
    }

    // The store names version's set, and the set holds the published files.
    void ExpectConfigured(uint32_t version, bool check_files = true) {
        RegistryKey key;
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
        EXPECT_EQ(Set(version), key.ReadRequiredString("DATPath"));
        EXPECT_EQ(version, key.ReadRequiredDword("DATVersion"));
        if (!check_files) return;
        for (const auto& [name, content] : Testing::DatFilesOf(version)) {
            EXPECT_EQ(content, Testing::ReadFile(Set(version) + "/" + name)) << name;
        }
    }

    std::vector<std::string> DatFolderNames() const { return Testing::SortedNames(dir_ / "dat"); }

    Testing::ScratchDir dir_;
    Testing::ScopedEnv root_env_;
    Testing::RecordingLog log_;
    UpdaterCore core_{log_};
    Testing::DatSite site_;
};

}  // namespace TesselSoftware
