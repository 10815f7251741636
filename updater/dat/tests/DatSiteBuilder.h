// Builds update sources and installed DAT folders for the DAT updater's
// scenario tests. A set's files are derived from its version, so any test
// can tell which version a folder holds.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace TesselSoftware::Testing {

// The three definition files of a version: name -> content.
std::map<std::string, std::string> DatFilesOf(uint32_t version);

// Packs a folder's files into a zip archive with the real 7za.
void Pack(const std::string& folder, const std::string& archive);
std::string Md5OfFile(const std::string& path);

class DatSite {
public:
    explicit DatSite(std::string folder) : folder_(std::move(folder)) {}
    const std::string& folder() const { return folder_; }

    // avvdat-N.zip holding DatFilesOf(N), and "avvdat.ini" naming its MD5
    // (or md5_override when not empty).
    void PublishFull(uint32_t version, const std::string& md5_override = "");
    // avvdat-N.zip holding the given files (path in the archive -> content),
    // with a correct "avvdat.ini" unless md5_override says otherwise.
    void PublishArchive(uint32_t version, const std::map<std::string, std::string>& files,
                        const std::string& md5_override = "");
    // "oem.ini" naming version, with an [AVV-Incremental] section for the
    // catalogue when catalogue_name is not empty.
    void WriteOem(uint32_t version, const std::string& catalogue_name = "",
                  const std::string& catalogue_md5 = "");
    // A delta catalogue leading to current, with one patch per listed start
    // version ("patch-<from>.upd" holding "+<from>"), and its oem.ini.
    void PublishDeltas(uint32_t current, const std::vector<uint32_t>& from_versions,
                       const std::string& catalogue_text_override = "");
    void Remove(const std::string& name);

private:
    std::string folder_;
};

// Lays out a scratch system root for DAT passes: root/site as the
// local-folder source, root/dat as the DAT folder (both created), and 7za
// (the real one) in the InstallPath root/opt/vexor/, the stand-in engine
// of mode 1 as EnginePath, all written to the
// registry store of the current VEXOR_SYSTEM_ROOT. Registers the
// local-folder downloader and points the engine start check at the built
// checker program.
void PrepareDatRoot(const std::string& root);

// Writes an installed set avvdat-N-files under dat_folder.
void InstallSet(const std::string& dat_folder, uint32_t version);

}  // namespace TesselSoftware::Testing
