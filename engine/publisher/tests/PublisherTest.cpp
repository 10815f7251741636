// Sites built by vexor-publish are self-consistent, deterministic, and each
// fault option breaks exactly what it names.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <map>

#include "Common/Engine/EngineContract.h"
#include "Common/Platform/FileVersion.h"
#include "Common/Platform/ProcessRunner.h"
#include "Common/Signatures/Minisign.h"
#include "Common/Text/Md5.h"
#include "SitePublisher.h"
#include "TestSupport.h"

namespace VexorPublisher {
namespace {

namespace fs = std::filesystem;
using TesselSoftware::Testing::ReadFile;
using TesselSoftware::Testing::ScratchDir;

constexpr Date kDate{2026, 12, 1};
constexpr uint32_t kFirst = 40, kLast = 44;

std::string BaseList() { return ReadFile(VEXOR_SAMPLE_SIGNATURES); }

std::string Md5Of(const std::string& data) {
    TesselSoftware::Md5 md5;
    md5.Update(data.data(), data.size());
    return md5.HexDigest();
}

// Every file of a tree: relative name -> bytes.
std::map<std::string, std::string> Tree(const std::string& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            files[fs::relative(entry.path(), root).string()] = ReadFile(entry.path().string());
        }
    }
    return files;
}

std::string IniValue(const std::string& text, const std::string& key) {
    const size_t at = text.find(key + "=");
    if (at == std::string::npos) return "";
    const size_t start = at + key.size() + 1;
    return text.substr(start, text.find("\r\n", start) - start);
}

int Extract(const std::string& archive, const std::string& folder) {
    return std::system(("7za x -y -bd -o'" + folder + "' '" + archive + "' >/dev/null 2>&1").c_str());
}

// Applies patches to the set in `current` with the engine's AVUpdate into `next`.
uint16_t RunAvUpdate(const std::string& current, const std::vector<std::string>& patches,
                     const std::string& next) {
    void* engine = ::dlopen(VEXOR_ENGINE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(nullptr, engine) << ::dlerror();
    if (engine == nullptr) return 0xFFFF;
    const auto update = reinterpret_cast<AVUpdateFn>(::dlsym(engine, kEngineExportUpdate));
    const std::string names[3] = {"avvscan.dat", "avvnames.dat", "avvclean.dat"};
    std::vector<std::string> owned;
    for (const std::string& name : names) owned.push_back(current + "/" + name);
    for (const std::string& name : names) owned.push_back(next + "/" + name);
    std::vector<const char*> in, out, patch;
    for (int i = 0; i < 3; ++i) in.push_back(owned[i].c_str());
    for (int i = 3; i < 6; ++i) out.push_back(owned[i].c_str());
    for (const std::string& p : patches) patch.push_back(p.c_str());
    const UpdateFileList in_list{16, 3, in.data()}, out_list{16, 3, out.data()},
        patch_list{16, static_cast<uint32_t>(patch.size()), patch.data()};
    const UpdateFileSet files{28, 0, &in_list, &out_list, &patch_list};
    const std::string folder = fs::path(VEXOR_ENGINE_LIBRARY).parent_path().string();
    const auto callback = +[](const void*, uint16_t, const void*, uint64_t) -> uint32_t { return 0; };
    const UpdateParameter parameters[3] = {
        {16, kUpdateTagInterfaceKey, 8, kEngineInterfaceKey},
        {16, kUpdateTagEngineFolder, static_cast<uint32_t>(folder.size() + 1),
         reinterpret_cast<uint64_t>(folder.c_str())},
        {16, kUpdateTagCallback, 8, reinterpret_cast<uint64_t>(callback)}};
    const UpdateParameterList list{12, 3, parameters};
    const uint16_t status = update(&files, &list);
    ::dlclose(engine);
    return status;
}

class PublisherTest : public ::testing::Test {
protected:
    std::string Site(const SiteFaults& faults = {}, const std::string& name = "site") {
        std::string error;
        EXPECT_TRUE(WriteSite(BaseList(), kFirst, kLast, kLast - kFirst, kDate, faults, dir_ / name,
                              &error))
            << error;
        return dir_ / name;
    }
    std::string DatSet(uint32_t version) {
        std::string error;
        const std::string out = dir_ / ("set-" + std::to_string(version));
        EXPECT_TRUE(WriteDatSet(BaseList(), version, kDate, out, &error)) << error;
        return out;
    }
    ScratchDir dir_;
};

TEST_F(PublisherTest, SiteChecksumsMatchAndTheArchiveHoldsTheNewestSet) {
    const std::string site = Site();
    const std::string oem = ReadFile(site + "/oem.ini");
    EXPECT_EQ("44", IniValue(oem, "DATVersion"));
    EXPECT_EQ("avvdelta.ini", IniValue(oem, "FileName"));
    EXPECT_EQ(Md5Of(ReadFile(site + "/avvdelta.ini")), IniValue(oem, "MD5"));
    EXPECT_EQ(Md5Of(ReadFile(site + "/avvdat-44.zip")), IniValue(ReadFile(site + "/avvdat.ini"), "MD5"));
    ASSERT_EQ(0, Extract(site + "/avvdat-44.zip", dir_ / "unpacked"));
    EXPECT_EQ(Tree(DatSet(44)), Tree(dir_ / "unpacked"));
    const std::string catalogue = ReadFile(site + "/avvdelta.ini");
    EXPECT_EQ("44", IniValue(catalogue, "CurrentVersion"));
    EXPECT_EQ("PATCH40", IniValue(catalogue, "40"));
    EXPECT_EQ("avvdat-43-44.upd", IniValue(catalogue, "PATCH43"));
}

TEST_F(PublisherTest, EveryOfferedChainLeadsToTheNewestSet) {
    const std::string site = Site();
    const auto newest = Tree(DatSet(kLast));
    for (uint32_t from = kFirst; from < kLast; ++from) {
        SCOPED_TRACE(from);
        std::vector<std::string> patches;
        for (uint32_t v = from; v < kLast; ++v) patches.push_back(site + "/" + PatchName(v));
        const std::string next = dir_ / ("next-" + std::to_string(from));
        fs::create_directories(next);
        ASSERT_EQ(0, RunAvUpdate(DatSet(from), patches, next));
        auto built = Tree(next);
        auto expected = newest;
        expected.erase("extra.dat");  // patches carry the three main files
        EXPECT_EQ(expected, built);
    }
}

TEST_F(PublisherTest, PatchesAreSmallBesideTheSet) {
    const std::string site = Site();
    const size_t set = fs::file_size(site + "/avvdat-44.zip");
    const size_t patch = fs::file_size(site + "/" + PatchName(43));
    EXPECT_LT(patch, set);
}

TEST_F(PublisherTest, SameInputsGiveTheSameBytes) {
    EXPECT_EQ(Tree(Site({}, "one")), Tree(Site({}, "two")));
}

TEST_F(PublisherTest, OnlyTheNewestVersionKnowsItsMarker) {
    const std::string marker = MarkerOnlyIn(kLast);
    EXPECT_NE(std::string::npos, ListsForVersion(BaseList(), kLast).signatures.find(marker));
    for (uint32_t v = 1; v < kLast; ++v) {
        EXPECT_EQ(std::string::npos, ListsForVersion(BaseList(), v).signatures.find(marker)) << v;
    }
}

TEST_F(PublisherTest, EachFaultBreaksExactlyWhatItNames) {
    const auto clean = Tree(Site());
    struct Case {
        const char* name;
        SiteFaults faults;
        std::vector<std::string> changed;  // files that differ or are missing
    };
    SiteFaults bad_archive, bad_catalogue, drop, corrupt_archive, corrupt_patch, no_avvdat, no_oem;
    bad_archive.bad_md5 = BadMd5::kArchive;
    bad_catalogue.bad_md5 = BadMd5::kCatalogue;
    drop.drop_patch = 42;
    corrupt_archive.corrupt = Corrupt::kArchive;
    corrupt_patch.corrupt = Corrupt::kPatch;
    no_avvdat.no_avvdat_ini = true;
    no_oem.no_oem_ini = true;
    const Case cases[] = {
        {"bad archive md5", bad_archive, {"avvdat.ini"}},
        {"bad catalogue md5", bad_catalogue, {"oem.ini"}},
        {"drop patch", drop, {"avvdat-42-43.upd"}},
        {"corrupt archive", corrupt_archive, {"avvdat-44.zip", "avvdat.ini"}},
        {"corrupt patch", corrupt_patch, {"avvdat-40-41.upd"}},
        {"no avvdat.ini", no_avvdat, {"avvdat.ini"}},
        {"no oem.ini", no_oem, {"oem.ini"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string site = Site(c.faults, std::string("fault-") + c.name);
        const auto broken = Tree(site);
        std::vector<std::string> changed;
        for (const auto& [name, bytes] : clean) {
            const auto it = broken.find(name);
            if (it == broken.end() || it->second != bytes) changed.push_back(name);
        }
        EXPECT_EQ(c.changed, changed);
    }
    // What the faults mean to a reader of the site.
    const std::string corrupt = dir_ / "fault-corrupt archive";
    EXPECT_EQ(Md5Of(ReadFile(corrupt + "/avvdat-44.zip")),
              IniValue(ReadFile(corrupt + "/avvdat.ini"), "MD5"));
    EXPECT_NE(0, Extract(corrupt + "/avvdat-44.zip", dir_ / "never"));
    const std::string bad = dir_ / "fault-bad archive md5";
    EXPECT_NE(Md5Of(ReadFile(bad + "/avvdat-44.zip")), IniValue(ReadFile(bad + "/avvdat.ini"), "MD5"));
    const std::string patch_site = dir_ / "fault-corrupt patch";
    fs::create_directories(dir_ / "never-patched");
    EXPECT_NE(0, RunAvUpdate(DatSet(40), {patch_site + "/avvdat-40-41.upd"}, dir_ / "never-patched"));
}

TEST_F(PublisherTest, EngineReleaseCarriesItsVersionAndChecksum) {
    EngineRelease release{"6.2.0.7", "engine620", "6.1.0.0", VEXOR_ENGINE_LIBRARY, kDate};
    std::string error;
    ASSERT_TRUE(WriteEngineRelease(release, {}, dir_ / "engine-site", &error)) << error;
    const std::string update = ReadFile(dir_ / "engine-site/engine620/EngineUpdate.ini");
    EXPECT_EQ("engine620", IniValue(ReadFile(dir_ / "engine-site/EngineVersion.ini"), "EngineDir"));
    EXPECT_EQ("6.2.0.7", IniValue(update, "EngineVersion"));
    const std::string archive = dir_ / ("engine-site/engine620/" + IniValue(update, "ArchiveName"));
    EXPECT_EQ(Md5Of(ReadFile(archive)), IniValue(update, "MD5"));
    ASSERT_EQ(0, Extract(archive, dir_ / "engine-unpacked"));
    const auto version = TesselSoftware::ReadFileVersion(dir_ / "engine-unpacked/mscan64a.so");
    ASSERT_TRUE(version.has_value());
    EXPECT_EQ("6.2.0.7", version->ToString());

    SiteFaults bad;
    bad.bad_md5 = BadMd5::kEngine;
    ASSERT_TRUE(WriteEngineRelease(release, bad, dir_ / "engine-bad", &error)) << error;
    const std::string bad_update = ReadFile(dir_ / "engine-bad/engine620/EngineUpdate.ini");
    EXPECT_NE(Md5Of(ReadFile(dir_ / "engine-bad/engine620/mscan64a-6.2.0.7.zip")),
              IniValue(bad_update, "MD5"));
}

TEST_F(PublisherTest, ArchivesHoldBareNamesWhateverTheOutputPath) {
    // A relative output folder must not leak its path into the archives.
    const std::string saved = fs::current_path().string();
    fs::current_path(dir_.path());
    std::string error;
    EngineRelease release{"6.2.0.7", "engine620", "", VEXOR_ENGINE_LIBRARY, kDate};
    const bool engine_ok = WriteEngineRelease(release, {}, "relative-engine", &error);
    const bool site_ok =
        WriteSite(BaseList(), kFirst, kFirst, 0, kDate, {}, "relative-site", &error);
    fs::current_path(saved);
    ASSERT_TRUE(engine_ok && site_ok) << error;
    ASSERT_EQ(0, Extract(dir_ / "relative-engine/engine620/mscan64a-6.2.0.7.zip", dir_ / "e"));
    EXPECT_TRUE(fs::exists(dir_ / "e/mscan64a.so"));
    ASSERT_EQ(0, Extract(dir_ / "relative-site/avvdat-40.zip", dir_ / "s"));
    EXPECT_TRUE(fs::exists(dir_ / "s/avvscan.dat"));
}

// keygen and --sign-key: every file the publisher writes gets a signature
// that Debian's minisign accepts with the generated public key.
TEST(PublisherSigning, EveryWrittenFileIsSignedAndTheToolAcceptsIt) {
    if (::access("/usr/bin/minisign", X_OK) != 0) GTEST_SKIP() << "minisign is not installed";
    TesselSoftware::Testing::ScratchDir dir;
    using TesselSoftware::ChildOutcome;
    using TesselSoftware::RunChildProcess;
    std::string output;
    const auto run = [&output](const std::vector<std::string>& argv) {
        const ChildOutcome outcome = RunChildProcess(argv, 120000, &output, 1 << 16);
        return outcome.kind == ChildOutcome::Kind::kExited ? outcome.exit_code : -1;
    };
    // A rotation's two pairs in one folder: each named by its key id, so the
    // second never replaces the first; the paths written are printed.
    ASSERT_EQ(0, run({VEXOR_PUBLISH_TOOL, "keygen", "--out", dir / "keys"}));
    const std::string first = output;
    ASSERT_EQ(0, run({VEXOR_PUBLISH_TOOL, "keygen", "--out", dir / "keys"}));
    EXPECT_NE(first, output);
    EXPECT_EQ(4u, TesselSoftware::Testing::SortedNames(dir / "keys").size());
    ASSERT_EQ(0u, first.find(dir / "keys/vexor-publisher-")) << first;
    const std::string public_key = first.substr(0, first.find('\n'));
    const std::string secret_key = public_key.substr(0, public_key.size() - 4) + ".key";
    EXPECT_EQ(public_key + "\n" + secret_key + "\n", first);
    struct stat info {};
    ASSERT_EQ(0, ::stat(secret_key.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 07777);
    ASSERT_EQ(0, run({VEXOR_PUBLISH_TOOL, "keygen", "--out", dir / "keys", "--name", "vexor-publisher"}));
    EXPECT_EQ(2, run({VEXOR_PUBLISH_TOOL, "keygen", "--out", dir / "keys", "--name", "vexor-publisher"}))
        << "an existing pair was replaced";
    ASSERT_EQ(0, run({VEXOR_PUBLISH_TOOL, "site", "--signatures", VEXOR_SAMPLE_SIGNATURES, "--versions", "1..2",
                      "--sign-key", dir / "keys/vexor-publisher.key", "--out", dir / "site"}));
    size_t files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path() + "/site")) {
        const std::string path = entry.path().string();
        if (!entry.is_regular_file() || path.ends_with(".minisig")) continue;
        ++files;
        EXPECT_EQ(0, run({"/usr/bin/minisign", "-V", "-q", "-p", dir / "keys/vexor-publisher.pub", "-m", path})) << path;
        EXPECT_NE(std::string::npos,
                  TesselSoftware::Testing::ReadFile(path + ".minisig").find("trusted comment: file:" + entry.path().filename().string() + "\n"));
    }
    EXPECT_GE(files, 5u);  // archive, catalogues, patches
    EXPECT_EQ(2, run({VEXOR_PUBLISH_TOOL, "site", "--signatures", VEXOR_SAMPLE_SIGNATURES, "--versions", "1..2",
                      "--sign-key", dir / "keys/vexor-publisher.pub", "--out", dir / "site"}));
}

// --expires and refresh: the catalogues' signatures carry their signing
// time and end of use, Debian's minisign still accepts them, and a refresh
// re-signs the catalogues alone without changing any file.
TEST(PublisherSigning, ExpiringSignaturesAndARefreshThatChangesNoFile) {
    if (::access("/usr/bin/minisign", X_OK) != 0) GTEST_SKIP() << "minisign is not installed";
    TesselSoftware::Testing::ScratchDir dir;
    using TesselSoftware::ChildOutcome;
    using TesselSoftware::RunChildProcess;
    using TesselSoftware::Testing::ReadFile;
    std::string output;
    const auto run = [&output](const std::vector<std::string>& argv) {
        const ChildOutcome outcome = RunChildProcess(argv, 120000, &output, 1 << 16);
        return outcome.kind == ChildOutcome::Kind::kExited ? outcome.exit_code : -1;
    };
    const std::string key = dir / "keys/vexor-publisher.key";
    ASSERT_EQ(0, run({VEXOR_PUBLISH_TOOL, "keygen", "--out", dir / "keys", "--name", "vexor-publisher"}));
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    ASSERT_EQ(0, run({VEXOR_PUBLISH_TOOL, "site", "--signatures", VEXOR_SAMPLE_SIGNATURES, "--versions", "1..2",
                      "--sign-key", key, "--expires", "8d", "--out", dir / "site"}));
    const auto times_of = [&](const std::string& name) {
        TesselSoftware::Minisign::Signature signature;
        std::string error, file;
        TesselSoftware::Minisign::SignedTimes times;
        EXPECT_TRUE(TesselSoftware::Minisign::ParseSignature(ReadFile(dir / ("site/" + name + ".minisig")), &signature,
                                                             &error))
            << error;
        EXPECT_TRUE(TesselSoftware::Minisign::ParseTrustedComment(signature.trusted_comment, &file, &times));
        EXPECT_EQ(name, file);
        return times;
    };
    const auto signed_first = times_of("avvdat.ini");
    EXPECT_GE(signed_first.signed_at, before);
    EXPECT_EQ(signed_first.signed_at + 8 * 86400, signed_first.expires_at);
    EXPECT_EQ(0, times_of("avvdat-2.zip").expires_at) << "only catalogues expire";
    for (const char* name : {"oem.ini", "avvdat.ini", "avvdelta.ini", "avvdat-2.zip"}) {
        EXPECT_EQ(0, run({"/usr/bin/minisign", "-V", "-q", "-p", dir / "keys/vexor-publisher.pub", "-m",
                          dir / ("site/" + std::string(name))}))
            << name;
    }

    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path() + "/site")) {
        files[entry.path().filename().string()] = ReadFile(entry.path().string());
    }
    ::sleep(1);
    ASSERT_EQ(0, run({VEXOR_PUBLISH_TOOL, "refresh", "--out", dir / "site", "--sign-key", key, "--expires", "36h"}));
    for (const auto& [name, bytes] : files) {
        const bool catalogue_signature = name.ends_with(".ini.minisig");
        EXPECT_EQ(!catalogue_signature, bytes == ReadFile(dir / ("site/" + name))) << name;
    }
    const auto refreshed = times_of("avvdat.ini");
    EXPECT_GT(refreshed.signed_at, signed_first.signed_at);
    EXPECT_EQ(refreshed.signed_at + 36 * 3600, refreshed.expires_at);
    EXPECT_EQ(0, run({"/usr/bin/minisign", "-V", "-q", "-p", dir / "keys/vexor-publisher.pub", "-m", dir / "site/oem.ini"}));

    for (const std::vector<std::string>& refused : std::vector<std::vector<std::string>>{
             {VEXOR_PUBLISH_TOOL, "refresh", "--out", dir / "site", "--sign-key", key},
             {VEXOR_PUBLISH_TOOL, "refresh", "--out", dir / "site", "--sign-key", key, "--expires", "8x"},
             {VEXOR_PUBLISH_TOOL, "refresh", "--out", dir / "nowhere", "--sign-key", key, "--expires", "8d"},
             {VEXOR_PUBLISH_TOOL, "site", "--signatures", VEXOR_SAMPLE_SIGNATURES, "--versions", "1..2",
              "--expires", "8d", "--out", dir / "unsigned"}}) {
        EXPECT_EQ(2, run(refused)) << refused.back();
    }
}

TEST(PublisherDates, OnlyRealDatesAreAccepted) {
    EXPECT_TRUE(ParseDate("2026-12-01").has_value());
    for (const char* text : {"2026-02-30", "1979-01-01", "2026-13-01", "2026-1-01", "tomorrow", ""}) {
        EXPECT_FALSE(ParseDate(text).has_value()) << text;
    }
}

}  // namespace
}  // namespace VexorPublisher
