// Patches between DAT sets: exact application, small size for small
// changes, and refusal of every damaged patch or wrong starting set.
#include <gtest/gtest.h>

#include <random>

#include "vexor/DatPatch.h"

namespace VexorEngine {
namespace {

std::string RandomSignatureList(size_t count, uint32_t seed) {
    std::mt19937 random(seed);
    std::string list;
    static constexpr char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < count; ++i) {
        list += "Generated." + std::to_string(seed) + "." + std::to_string(i) + " ; repair ; ";
        const size_t length = 12 + random() % 20;
        for (size_t k = 0; k < length; ++k) {
            const unsigned b = random() % 256;
            list += kHex[b >> 4];
            list += kHex[b & 0xF];
        }
        list += "\n";
    }
    return list;
}

// The lines of text, each with its "\n".
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at) + 1;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    return lines;
}

DatFiles Build(const std::string& list, uint32_t version) {
    DatFiles files;
    std::string error;
    EXPECT_TRUE(
        BuildDatFiles(list, "", version, PackDosDate(2024, 6, version % 28 + 1), &files, &error))
        << error;
    return files;
}

size_t SetSize(const DatFiles& f) {
    return f.scan.size() + f.names.size() + f.clean.size();
}

TEST(DatPatch, RebuildsTheNewSetExactly) {
    const DatFiles from = Build(RandomSignatureList(300, 1), 10);
    const DatFiles to = Build(RandomSignatureList(200, 1) + RandomSignatureList(150, 2), 11);
    std::string patch, error;
    ASSERT_TRUE(MakePatch(from, to, &patch, &error)) << error;
    DatFiles files = from;
    files.extra = "kept as it is";
    PatchInfo info;
    ASSERT_TRUE(ApplyPatch(patch, &files, &info, &error)) << error;
    EXPECT_EQ(to.scan, files.scan);
    EXPECT_EQ(to.names, files.names);
    EXPECT_EQ(to.clean, files.clean);
    EXPECT_EQ("kept as it is", files.extra);
    EXPECT_EQ(10u, info.from_version);
    EXPECT_EQ(11u, info.to_version);
    EXPECT_EQ(PackDosDate(2024, 6, 12), info.to_dos_date);
}

TEST(DatPatch, OnePercentChangeGivesAPatchOfAFewPercent) {
    // 10 000 signatures; every hundredth replaced, so the changes spread over the set.
    const std::vector<std::string> old_lines = Lines(RandomSignatureList(10000, 7));
    const std::vector<std::string> replacements = Lines(RandomSignatureList(100, 8));
    std::string old_list, new_list;
    for (size_t i = 0; i < old_lines.size(); ++i) {
        old_list += old_lines[i];
        new_list += i % 100 == 50 ? replacements[i / 100] : old_lines[i];
    }
    const DatFiles from = Build(old_list, 20), to = Build(new_list, 21);
    std::string patch, error;
    ASSERT_TRUE(MakePatch(from, to, &patch, &error)) << error;
    EXPECT_LT(patch.size() * 100, SetSize(to) * 5)
        << patch.size() << " bytes of patch for a set of " << SetSize(to);
}

TEST(DatPatch, EveryDamagedPatchIsRefusedAndChangesNothing) {
    const DatFiles from = Build(RandomSignatureList(20, 3), 30);
    const DatFiles to = Build(RandomSignatureList(19, 3) + RandomSignatureList(2, 4), 31);
    std::string patch, error;
    ASSERT_TRUE(MakePatch(from, to, &patch, &error)) << error;
    for (size_t at = 0; at < patch.size(); ++at) {
        SCOPED_TRACE("byte " + std::to_string(at));
        std::string damaged = patch;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
        DatFiles files = from;
        PatchInfo info;
        EXPECT_FALSE(ApplyPatch(damaged, &files, &info, &error));
        EXPECT_FALSE(ApplyPatch(patch.substr(0, at), &files, &info, &error));
        EXPECT_EQ(from, files);
    }
}

TEST(DatPatch, WrongStartingSetIsRefused) {
    const DatFiles v1 = Build(RandomSignatureList(50, 5), 40);
    const DatFiles v2 = Build(RandomSignatureList(51, 5), 41);
    const DatFiles v3 = Build(RandomSignatureList(52, 5), 42);
    std::string patch, error;
    ASSERT_TRUE(MakePatch(v2, v3, &patch, &error)) << error;
    DatFiles files = v1;
    PatchInfo info;
    EXPECT_FALSE(ApplyPatch(patch, &files, &info, &error));
    EXPECT_EQ("patch: avvscan.dat is not the file this patch starts from", error);
    EXPECT_EQ(v1, files);
}

TEST(DatPatch, RefusesSetsThatDoNotDecode) {
    DatFiles good = Build(RandomSignatureList(5, 6), 50), bad = good;
    bad.names.pop_back();
    std::string patch, error;
    EXPECT_FALSE(MakePatch(bad, good, &patch, &error));
    EXPECT_EQ("old set: avvnames.dat: size does not match its header (truncated or extended)",
              error);
}

}  // namespace
}  // namespace VexorEngine
