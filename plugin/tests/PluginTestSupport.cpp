#include "PluginTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "TestSupport.h"
#include "vexor/DatFormat.h"

namespace TesselSoftware::Testing {

const std::string& PluginTestRoot() {
    static ScratchDir* root = [] {
        auto* dir = new ScratchDir();  // lives for the whole program
        ::setenv("VEXOR_SYSTEM_ROOT", dir->path().c_str(), 1);
        return dir;
    }();
    return root->path();
}

uint16_t DosDateDaysAgo(int days) {
    const std::time_t when = std::time(nullptr) - static_cast<std::time_t>(days) * 86400;
    struct tm local {};
    localtime_r(&when, &local);
    return VexorEngine::PackDosDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

std::string WriteTestDatSet(const std::string& folder, uint32_t version, uint16_t dos_date) {
    std::string list = std::string("Test.Alpha ; repair ; \"") + kAlphaMarker + "\"\n" +
                       "Test.Beta ; delete ; \"" + kBetaMarker + "\"\n";
    if (version >= 2) list += std::string("Test.New ; repair ; \"") + kNewMarker + "\"\n";
    VexorEngine::DatFiles files;
    std::string error;
    EXPECT_TRUE(VexorEngine::BuildDatFiles(list, "", version, dos_date ? dos_date : DosDateDaysAgo(0),
                                           &files, &error))
        << error;
    WriteFile(folder + "/.keep", "");
    EXPECT_TRUE(VexorEngine::WriteDatFiles(folder, files, &error)) << error;
    return folder;
}

void ConfigureDat(const std::string& path, uint32_t version) {
    RegistryKey key;
    key.Create(RegistryRoot::kLocalMachine, kProductKeyPath);
    key.WriteString("DATPath", path);
    key.WriteDword("DATVersion", version);
}

void ConfigureEngine(const std::string& folder, const std::string& hash) {
    RegistryKey key;
    key.Create(RegistryRoot::kLocalMachine, kProductKeyPath);
    key.WriteString("EnginePath", folder);
    key.WriteString("EngineHash", hash);
}

void ClearProductKey() {
    RegistryKey software;
    software.Create(RegistryRoot::kLocalMachine, "SOFTWARE\\Quorvane");
    if (software.SubKeyExists("Vexor for Tessel")) software.DeleteTree("Vexor for Tessel");
}

OwnedText::~OwnedText() { std::free(text); }

OwnedInfo::~OwnedInfo() {
    for (ScannerText* slot : {&product_name, &vendor_name, &vendor_address, &unused, &dat_folder,
                              &engine_version, &dat_version}) {
        std::free(slot->text);
    }
}

}  // namespace TesselSoftware::Testing
