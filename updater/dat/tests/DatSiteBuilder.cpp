#include "DatSiteBuilder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "Common/Text/Md5.h"
#include "TestSupport.h"
#include "UpdaterTestSupport.h"
#include "dat/EngineStartCheck.h"
#include "sources/DownloaderFS.h"

namespace TesselSoftware::Testing {

std::map<std::string, std::string> DatFilesOf(uint32_t version) {
    const std::string v = std::to_string(version);
    return {{"avvscan.dat", "signatures of " + v + "\n" + std::string(2000, 's')},
            {"avvnames.dat", "names of " + v + "\n"},
            {"avvclean.dat", "cleaning of " + v + "\n"}};
}

void Pack(const std::string& folder, const std::string& archive) {
    const std::string command = "cd '" + folder + "' && 7za a -tzip -bd '" + archive +
                                "' . > /dev/null";
    ASSERT_EQ(0, std::system(command.c_str())) << command;
}

std::string Md5OfFile(const std::string& path) {
    const std::string data = ReadFile(path);
    Md5 md5;
    md5.Update(data.data(), data.size());
    return md5.HexDigest();
}

void DatSite::PublishFull(uint32_t version, const std::string& md5_override) {
    PublishArchive(version, DatFilesOf(version), md5_override);
}

void DatSite::PublishArchive(uint32_t version, const std::map<std::string, std::string>& files,
                             const std::string& md5_override) {
    const std::string staging = folder_ + "/.staging";
    std::filesystem::create_directories(staging);
    for (const auto& [name, content] : files) WriteFile(staging + "/" + name, content);
    const std::string archive = folder_ + "/avvdat-" + std::to_string(version) + ".zip";
    ::unlink(archive.c_str());
    Pack(staging, archive);
    std::filesystem::remove_all(staging);
    const std::string md5 = md5_override.empty() ? Md5OfFile(archive) : md5_override;
    WriteFile(folder_ + "/avvdat.ini", "[AVV-ZIP]\r\nMD5=" + md5 + "\r\n");
}

void DatSite::WriteOem(uint32_t version, const std::string& catalogue_name,
                       const std::string& catalogue_md5) {
    std::string text = "[AVV-ZIP]\r\nDATVersion=" + std::to_string(version) + "\r\n";
    if (!catalogue_name.empty()) {
        text += "[AVV-Incremental]\r\nFileName=" + catalogue_name + "\r\nMD5=" + catalogue_md5 + "\r\n";
    }
    WriteFile(folder_ + "/oem.ini", text);
}

void DatSite::PublishDeltas(uint32_t current, const std::vector<uint32_t>& from_versions,
                            const std::string& catalogue_text_override) {
    std::string table, resolver;
    for (uint32_t from : from_versions) {
        const std::string id = "P" + std::to_string(from);
        const std::string file = "patch-" + std::to_string(from) + ".upd";
        table += std::to_string(from) + "=" + id + "\r\n";
        resolver += id + "=" + file + "\r\n";
        WriteFile(folder_ + "/" + file, "+" + std::to_string(from));
    }
    const std::string text = catalogue_text_override.empty()
                                 ? "[Contents]\r\nCurrentVersion=" + std::to_string(current) +
                                       "\r\n[Multiple Patch Table]\r\n" + table +
                                       "[Incremental Resolver]\r\n" + resolver
                                 : catalogue_text_override;
    WriteFile(folder_ + "/delta.ini", text);
    WriteOem(current, "delta.ini", Md5OfFile(folder_ + "/delta.ini"));
}

void DatSite::Remove(const std::string& name) { ::unlink((folder_ + "/" + name).c_str()); }

void PrepareDatRoot(const std::string& root) {
    RegisterFolderDownloader();
    SetEngineCheckProgramForTesting(VEXOR_ENGINE_CHECK);
    for (const char* folder : {"/site", "/dat", "/opt/vexor"}) {
        std::filesystem::create_directories(root + folder);
    }
    ::symlink("/usr/bin/7za", (root + "/opt/vexor/7za").c_str());
    RegistryKey key;
    key.Create(RegistryRoot::kLocalMachine, kProductKeyPath);
    key.WriteString("DATFolder", root + "/dat");
    key.WriteString("EnginePath", std::string(VEXOR_FAKE_ENGINES) + "/mode1");
    OfferNoNewerEngine(root + "/engine-site");
    key.WriteDword("DATSource", LocalFolder);
    key.WriteString("LocalDirectory", root + "/site");
    key.WriteString("InstallPath", root + "/opt/vexor/");
}

void InstallSet(const std::string& dat_folder, uint32_t version) {
    const std::string set = dat_folder + "/avvdat-" + std::to_string(version) + "-files";
    for (const auto& [name, content] : DatFilesOf(version)) WriteFile(set + "/" + name, content);
}

}  // namespace TesselSoftware::Testing
