// AVUpdate through dlopen: a chain of patches builds the newest set; a
// missing, broken or tampered link fails and leaves no new files behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "EngineTestSupport.h"
#include "vexor/DatPatch.h"

namespace VexorEngine::Testing {
namespace {

using TesselSoftware::Testing::Exists;
using TesselSoftware::Testing::ReadFile;
using TesselSoftware::Testing::ScratchDir;
using TesselSoftware::Testing::WriteFile;

std::vector<std::string> g_events;
const void* g_expected_context = nullptr;

uint32_t RecordProgress(const void* context, uint16_t event, const void* pointer, uint64_t number) {
    g_events.push_back(std::to_string(event) + " " + std::to_string(number) +
                       (context == g_expected_context && pointer == nullptr ? "" : " (bad args)"));
    return 0;
}

// One AVUpdate call with all the blocks it points to, valid as built.
struct UpdateCall {
    UpdateCall(const std::string& from, const std::string& to,
               const std::vector<std::string>& patch_paths)
        : patches(patch_paths) {
        for (int i = 0; i < 3; ++i) {
            current_paths[i] = from + "/" + kDatFileNames[i];
            next_paths[i] = to + "/" + kDatFileNames[i];
            current_ptrs[i] = current_paths[i].c_str();
            next_ptrs[i] = next_paths[i].c_str();
        }
        for (const std::string& p : patches) {
            patch_ptrs.push_back(p.c_str());
        }
        current = {sizeof(UpdateFileList), 3, current_ptrs};
        next = {sizeof(UpdateFileList), 3, next_ptrs};
        patch_list = {sizeof(UpdateFileList), static_cast<uint32_t>(patches.size()),
                      patch_ptrs.data()};
        set = {sizeof(UpdateFileSet), 0, &current, &next, &patch_list};
        parameters[0] = {16, kUpdateTagInterfaceKey, 8, kEngineInterfaceKey};
        parameters[1] = {16, kUpdateTagEngineFolder, static_cast<uint32_t>(folder.size() + 1),
                         reinterpret_cast<uint64_t>(folder.c_str())};
        parameters[2] = {16, kUpdateTagCallback, 8,
                         reinterpret_cast<uint64_t>(reinterpret_cast<void*>(&RecordProgress))};
        list = {sizeof(UpdateParameterList), 3, parameters};
    }
    UpdateCall(const UpdateCall&) = delete;
    UpdateCall& operator=(const UpdateCall&) = delete;

    // The events reported, then the status: "1067 1\n1068 4\nstatus 0".
    std::string Run(EngineLibrary& engine) {
        g_events.clear();
        g_expected_context = &set;
        const uint16_t status = engine.update(&set, &list);
        std::string text;
        for (const std::string& e : g_events) {
            text += e + "\n";
        }
        return text + "status " + std::to_string(status);
    }

    std::string current_paths[3], next_paths[3];
    const char* current_ptrs[3];
    const char* next_ptrs[3];
    std::vector<std::string> patches;
    std::vector<const char*> patch_ptrs;
    UpdateFileList current, next, patch_list;
    UpdateFileSet set;
    std::string folder = "/opt/vexor/Engine/6.1.0.0/";
    UpdateParameter parameters[3];
    UpdateParameterList list;
};

class EngineUpdate : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(engine_.loaded());
        std::string list = SampleSignatureList();
        for (uint32_t version = 1; version <= 4; ++version) {
            if (version > 1) {
                list += "Added.In.Version" + std::to_string(version) + " ; delete ; \"ADDED-" +
                        std::to_string(version) + "-SIGNATURE\"\n";
            }
            std::string error;
            ASSERT_TRUE(BuildDatFiles(list, "", version, PackDosDate(2024, 5, 16 + version),
                                      &sets_[version], &error))
                << error;
        }
        std::string error;
        ASSERT_TRUE(WriteDatFiles(dir_ / "current", sets_[1], &error)) << error;
        ::mkdir((dir_ / "build").c_str(), 0755);  // may be there from an earlier SetUp
        for (uint32_t version = 1; version < 4; ++version) {
            std::string patch;
            ASSERT_TRUE(MakePatch(sets_[version], sets_[version + 1], &patch, &error)) << error;
            WriteFile(Patch(version), patch);
        }
    }
    std::string Patch(uint32_t from) const { return dir_ / ("p" + std::to_string(from) + ".vxp"); }
    bool AnyNewFile() const {
        for (const char* name : {"avvscan.dat", "avvnames.dat", "avvclean.dat"}) {
            if (Exists(dir_ / ("build/" + std::string(name)))) {
                return true;
            }
        }
        return false;
    }

    ScratchDir dir_;
    EngineLibrary engine_;
    DatFiles sets_[5];
};

TEST_F(EngineUpdate, ChainOfThreePatchesBuildsTheNewestSet) {
    UpdateCall call(dir_ / "current", dir_ / "build", {Patch(1), Patch(2), Patch(3)});
    EXPECT_EQ("1067 1\n1068 4\nstatus 0", call.Run(engine_));
    EXPECT_EQ(sets_[4].scan, ReadFile(dir_ / "build/avvscan.dat"));
    EXPECT_EQ(sets_[4].names, ReadFile(dir_ / "build/avvnames.dat"));
    EXPECT_EQ(sets_[4].clean, ReadFile(dir_ / "build/avvclean.dat"));
    EXPECT_EQ(sets_[1].scan, ReadFile(dir_ / "current/avvscan.dat"));
}

TEST_F(EngineUpdate, BrokenChainsFailWithoutNewFiles) {
    const auto tamper = [](const std::string& path, size_t at) {
        std::string bytes = ReadFile(path);
        bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
        WriteFile(path, bytes);
    };
    const struct {
        const char* label;
        std::vector<std::string> patches;
        std::function<void()> damage;
        std::string expected;
    } cases[] = {
        {"link missing from the list", {Patch(1), Patch(3)}, [] {}, "1067 1\n1069 7\nstatus 7"},
        {"listed patch file absent",
         {Patch(1), dir_ / "absent.vxp", Patch(3)},
         [] {},
         "1067 1\n1069 7\nstatus 7"},
        {"folder listed as a patch",
         {Patch(1), dir_.path(), Patch(3)},
         [] {},
         "1067 1\n1069 7\nstatus 7"},
        {"patches out of order", {Patch(2), Patch(1), Patch(3)}, [] {}, "1067 1\n1069 7\nstatus 7"},
        {"tampered patch",
         {Patch(1), Patch(2), Patch(3)},
         [&] { tamper(Patch(2), 60); },
         "1067 1\n1069 7\nstatus 7"},
        {"truncated patch",
         {Patch(1), Patch(2), Patch(3)},
         [&] { WriteFile(Patch(3), ReadFile(Patch(3)).substr(0, 40)); },
         "1067 1\n1069 7\nstatus 7"},
        {"tampered current file",
         {Patch(1), Patch(2), Patch(3)},
         [&] { tamper(dir_ / "current/avvnames.dat", 40); },
         "1069 4\nstatus 4"},
        {"current file missing",
         {Patch(1)},
         [&] { ::unlink((dir_ / "current/avvclean.dat").c_str()); },
         "1069 4\nstatus 4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        SetUp();
        c.damage();
        UpdateCall call(dir_ / "current", dir_ / "build", c.patches);
        EXPECT_EQ(c.expected, call.Run(engine_));
        EXPECT_FALSE(AnyNewFile());
    }
}

TEST_F(EngineUpdate, PatchForAnotherStartingSetIsRefused) {
    // Patch 2 expects version 2's bytes; a version 1 relabelled as 2 does
    // not pass its input checksums.
    DatSet relabelled;
    std::string error;
    ASSERT_TRUE(DecodeDatSet(sets_[1], &relabelled, &error));
    relabelled.version = 2;
    relabelled.dos_date = PackDosDate(2024, 5, 18);
    DatFiles files;
    ASSERT_TRUE(EncodeDatSet(relabelled, &files, &error));
    ASSERT_TRUE(WriteDatFiles(dir_ / "current", files, &error));
    UpdateCall call(dir_ / "current", dir_ / "build", {Patch(2)});
    EXPECT_EQ("1067 2\n1069 7\nstatus 7", call.Run(engine_));
    EXPECT_FALSE(AnyNewFile());
}

TEST_F(EngineUpdate, MalformedBlocksAreRefused) {
    const struct {
        const char* label;
        void (*mutate)(UpdateCall&);
        std::string expected;
    } cases[] = {
        {"file set size 24", [](UpdateCall& c) { c.set.size = 24; }, "1069 1\nstatus 1"},
        {"current list of two", [](UpdateCall& c) { c.current.count = 2; }, "1069 1\nstatus 1"},
        {"new list size 8", [](UpdateCall& c) { c.next.size = 8; }, "1069 1\nstatus 1"},
        {"no patches", [](UpdateCall& c) { c.patch_list.count = 0; }, "1069 1\nstatus 1"},
        {"null patch path", [](UpdateCall& c) { c.patch_ptrs[0] = nullptr; }, "1069 1\nstatus 1"},
        {"wrong key", [](UpdateCall& c) { c.parameters[0].value = 1; }, "1069 3\nstatus 3"},
        {"folder length without NUL", [](UpdateCall& c) { c.parameters[1].length -= 1; },
         "1069 2\nstatus 2"},
        {"parameter size 12", [](UpdateCall& c) { c.parameters[1].size = 12; }, "1069 1\nstatus 1"},
        {"key given twice", [](UpdateCall& c) { c.parameters[1] = c.parameters[0]; },
         "1069 2\nstatus 2"},
        {"two parameters", [](UpdateCall& c) { c.list.count = 2; }, "status 1"},
        {"parameter list size 16", [](UpdateCall& c) { c.list.size = 16; }, "status 1"},
        {"no callback", [](UpdateCall& c) { c.parameters[2].tag = 0x65; }, "status 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        UpdateCall call(dir_ / "current", dir_ / "build", {Patch(1)});
        c.mutate(call);
        EXPECT_EQ(c.expected, call.Run(engine_));
        EXPECT_FALSE(AnyNewFile());
    }
    EXPECT_EQ(kEngineStatusBadArgument, engine_.update(nullptr, nullptr));
}

}  // namespace
}  // namespace VexorEngine::Testing
