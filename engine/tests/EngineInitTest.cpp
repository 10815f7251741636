// AVInitialise and AVClose through dlopen: the result record, the DAT
// information chain, and refusal of malformed requests and DAT files.
#include <gtest/gtest.h>

#include <cstring>

#include "EngineTestSupport.h"

namespace VexorEngine::Testing {
namespace {

using TesselSoftware::Testing::ReadFile;
using TesselSoftware::Testing::ScratchDir;
using TesselSoftware::Testing::WriteFile;

// Follows the chain with the raw offsets the engine binding uses:
// P at result+28; Q = *P; R = *(Q+32); S = *R; date at S+12.
uint16_t DatDateFromResult(const EngineInitResult& result) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&result);
    const unsigned char* p;
    std::memcpy(&p, bytes + 28, sizeof p);
    const unsigned char *q, *r, *s;
    std::memcpy(&q, p, sizeof q);
    std::memcpy(&r, q + 32, sizeof r);
    std::memcpy(&s, r, sizeof s);
    uint16_t date;
    std::memcpy(&date, s + 12, sizeof date);
    return date;
}

class EngineInit : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(engine_.loaded()); }

    ScratchDir dir_;
    EngineLibrary engine_;
};

TEST_F(EngineInit, FillsHandleVersionAndDatInformation) {
    WriteSampleSet(dir_ / "dat");
    InitCall call(dir_ / "dat", false);
    ASSERT_EQ(0, call.Run(engine_));
    EXPECT_NE(0u, call.result.handle);
    EXPECT_EQ(6u, call.result.major);
    EXPECT_EQ(1u, call.result.minor);
    EXPECT_EQ(0x58B1, DatDateFromResult(call.result));  // 2024-05-17
    const EngineDatSetInfo& set = *call.result.dat_info->set;
    EXPECT_EQ(3u, set.file_count);
    EXPECT_EQ(6543u, set.dat_version);
    EXPECT_EQ(5u, set.signature_count);
    EXPECT_EQ(call.paths[1], set.files[1].path);
    EXPECT_EQ(0, engine_.close(call.result.handle));
}

TEST_F(EngineInit, ExtraDatAddsItsSignatures) {
    WriteSampleSet(dir_ / "dat", "Local.Extra ; delete ; \"LOCAL-EXTRA-SIGNATURE\"\n");
    InitCall call(dir_ / "dat", true);
    ASSERT_EQ(0, call.Run(engine_));
    EXPECT_EQ(4u, call.result.dat_info->set->file_count);
    EXPECT_EQ(6u, call.result.dat_info->set->signature_count);

    Recorder recorder(dir_.path());
    WriteFile(dir_ / "x", "..LOCAL-EXTRA-SIGNATURE..");
    ScanCall scan(dir_ / "x", &recorder, false);
    EXPECT_EQ(0, scan.Run(engine_, call.result.handle));
    EXPECT_EQ("enter\nname $/x\ninfected Local.Extra in $/x at 2\nsummary 3\nleave",
              recorder.Text());
    EXPECT_EQ(0, engine_.close(call.result.handle));
}

TEST_F(EngineInit, MalformedRequestsAreRefused) {
    WriteSampleSet(dir_ / "dat");
    const struct {
        const char* label;
        void (*mutate)(InitCall&);
        uint16_t expected;
    } cases[] = {
        {"request size 8", [](InitCall& c) { c.request.size = 8; }, kEngineStatusBadArgument},
        {"result size 32", [](InitCall& c) { c.result.size = 32; }, kEngineStatusBadArgument},
        {"item size 0", [](InitCall& c) { c.items[1].size = 0; }, kEngineStatusBadArgument},
        {"tag 107 with another key",
         [](InitCall& c) { c.Item(kEngineTagInterfaceKey)->value = 0x16A80001; },
         kEngineStatusBadKey},
        {"tag 107 missing", [](InitCall& c) { c.Remove(kEngineTagInterfaceKey); },
         kEngineStatusBadTag},
        {"tag 100 missing", [](InitCall& c) { c.Remove(kEngineTagCallback); }, kEngineStatusBadTag},
        {"tag 110 missing", [](InitCall& c) { c.Remove(kEngineTagDatFiles); }, kEngineStatusBadTag},
        {"tag 108 missing", [](InitCall& c) { c.Remove(kEngineTagEngineFolder); },
         kEngineStatusBadTag},
        {"tag 108 length without the NUL",
         [](InitCall& c) { c.Item(kEngineTagEngineFolder)->length -= 1; }, kEngineStatusBadTag},
        {"tag 110 length 8", [](InitCall& c) { c.Item(kEngineTagDatFiles)->length = 8; },
         kEngineStatusBadTag},
        {"file list of two", [](InitCall& c) { c.dat_list.count = 2; }, kEngineStatusBadTag},
        {"file list size 12", [](InitCall& c) { c.dat_list.size = 12; }, kEngineStatusBadTag},
        {"file list with a null path", [](InitCall& c) { c.dat_paths[2] = nullptr; },
         kEngineStatusBadTag},
        {"extra list of two",
         [](InitCall& c) {
             c.extra_list.count = 2;
             c.items.insert(c.items.begin() + 2, {16, kEngineTagExtraDatFiles, 16,
                                                  reinterpret_cast<uint64_t>(&c.extra_list)});
         },
         kEngineStatusBadTag},
        {"unknown tag 111",
         [](InitCall& c) {
             c.items.push_back({16, 111, 0, 0});
         },
         kEngineStatusBadTag},
        {"tag 100 twice", [](InitCall& c) { c.items.push_back(c.items.front()); },
         kEngineStatusBadTag},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        InitCall call(dir_ / "dat", false);
        c.mutate(call);
        EXPECT_EQ(c.expected, call.Run(engine_));
        EXPECT_EQ(0u, call.result.handle);
    }
    InitCall call(dir_ / "dat", false);
    call.request = {sizeof(EngineRequest), 0, call.items.data()};
    EXPECT_EQ(kEngineStatusBadArgument, call.Run(engine_, false));
    call.request = {sizeof(EngineRequest), 4, nullptr};
    EXPECT_EQ(kEngineStatusBadArgument, call.Run(engine_, false));
    EXPECT_EQ(kEngineStatusBadArgument, engine_.initialise(nullptr, &call.result));
    EXPECT_EQ(kEngineStatusBadArgument, engine_.initialise(&call.request, nullptr));
}

TEST_F(EngineInit, MissingOrDamagedDatFilesAreRefused) {
    const std::string folder = dir_ / "dat";
    DatFiles other_version;
    std::string error;
    ASSERT_TRUE(BuildDatFiles(SampleSignatureList(), "", 6544, PackDosDate(2024, 5, 17),
                              &other_version, &error));
    const struct {
        const char* label;
        void (*damage)(const std::string& folder, const DatFiles& other);
        bool with_extra = false;
    } cases[] = {
        {"avvnames.dat missing",
         [](const std::string& f, const DatFiles&) { ::unlink((f + "/avvnames.dat").c_str()); }},
        {"avvscan.dat truncated",
         [](const std::string& f, const DatFiles&) {
             const std::string bytes = ReadFile(f + "/avvscan.dat");
             WriteFile(f + "/avvscan.dat", bytes.substr(0, bytes.size() - 3));
         }},
        {"avvscan.dat with a trailing byte",
         [](const std::string& f, const DatFiles&) {
             WriteFile(f + "/avvscan.dat", ReadFile(f + "/avvscan.dat") + "x");
         }},
        {"avvclean.dat of another version",
         [](const std::string& f, const DatFiles& o) { WriteFile(f + "/avvclean.dat", o.clean); }},
        {"avvnames.dat in place of avvscan.dat",
         [](const std::string& f, const DatFiles&) {
             WriteFile(f + "/avvscan.dat", ReadFile(f + "/avvnames.dat"));
         }},
        {"one payload byte changed",
         [](const std::string& f, const DatFiles&) {
             std::string bytes = ReadFile(f + "/avvnames.dat");
             bytes[40] = static_cast<char>(bytes[40] ^ 1);
             WriteFile(f + "/avvnames.dat", bytes);
         }},
        {"header only",
         [](const std::string& f, const DatFiles&) { WriteFile(f + "/avvclean.dat", "VXCL"); }},
        {"extra.dat named but absent", [](const std::string&, const DatFiles&) {}, true},
        {"extra.dat empty",
         [](const std::string& f, const DatFiles&) { WriteFile(f + "/extra.dat", ""); }, true},
        {"extra.dat is a scan file",
         [](const std::string& f, const DatFiles&) {
             WriteFile(f + "/extra.dat", ReadFile(f + "/avvscan.dat"));
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        WriteSampleSet(folder);
        ::unlink((folder + "/extra.dat").c_str());
        c.damage(folder, other_version);
        InitCall call(folder, c.with_extra);
        EXPECT_EQ(kEngineStatusDatFile, call.Run(engine_));
        EXPECT_EQ(0u, call.result.handle);
    }
}

TEST_F(EngineInit, CloseReleasesEachHandleOnce) {
    WriteSampleSet(dir_ / "dat");
    InitCall first(dir_ / "dat", false), second(dir_ / "dat", false);
    ASSERT_EQ(0, first.Run(engine_));
    ASSERT_EQ(0, second.Run(engine_));
    EXPECT_NE(first.result.handle, second.result.handle);
    EXPECT_EQ(0, engine_.close(first.result.handle));
    EXPECT_EQ(kEngineStatusBadHandle, engine_.close(first.result.handle));
    EXPECT_EQ(kEngineStatusBadHandle, engine_.close(0));

    Recorder recorder(dir_.path());
    WriteFile(dir_ / "f", kEicar);
    ScanCall scan(dir_ / "f", &recorder, false);
    EXPECT_EQ(kEngineStatusBadHandle, scan.Run(engine_, first.result.handle));
    EXPECT_EQ(0, scan.Run(engine_, second.result.handle));
    EXPECT_EQ(0, engine_.close(second.result.handle));
}

}  // namespace
}  // namespace VexorEngine::Testing
