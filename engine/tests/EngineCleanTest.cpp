// Cleaning with tag 300: repair, removal, and the cases that cannot be
// cleaned, with the file's content afterwards.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "EngineTestSupport.h"

namespace VexorEngine::Testing {
namespace {

using TesselSoftware::Testing::ReadFile;
using TesselSoftware::Testing::WriteFile;
using EngineClean = StartedEngineTest;

TEST_F(EngineClean, PlainFilesAreRepairedOrLeftAlone) {
    const struct {
        const char* label;
        std::string content;
        std::string messages;
        std::string after;
    } cases[] = {
        {"repair cuts every match out",
         "head VEXOR-REPAIRABLE-TEST-SIGNATURE mid "
         "VEXOR-REPAIRABLE-TEST-SIGNATURE tail",
         "enter\nname $/f\ninfected Vexor.Test.Repairable in $/f at 5\ncleaned 1 $/f\n"
         "summary 3\nleave",
         "head  mid  tail"},
        {"back-to-back matches",
         std::string("VXWILDabMARK\0\xff"
                     "VXWILDcdMARK\0\xff"
                     "!",
                     29),
         "enter\nname $/f\ninfected Vexor.Test.Wildcard in $/f at 0\ncleaned 1 $/f\n"
         "summary 3\nleave",
         "!"},
        {"delete asks for removal and keeps the file", kEicar,
         "enter\nname $/f\ninfected EICAR-Test-File in $/f at 0\ncleaned 4 $/f\nsummary 3\nleave",
         kEicar},
        {"no action cannot be cleaned", "xVEXOR-UNCLEANABLE-TEST-SIGNATURE",
         "enter\nname $/f\ninfected Vexor.Test.Uncleanable in $/f at 1\nclean-failed\n"
         "summary 3\nleave",
         "xVEXOR-UNCLEANABLE-TEST-SIGNATURE"},
        {"one uncleanable finding keeps the repairable one too",
         "VEXOR-REPAIRABLE-TEST-SIGNATURE VEXOR-UNCLEANABLE-TEST-SIGNATURE",
         "enter\nname $/f\ninfected Vexor.Test.Repairable in $/f at 0\n"
         "infected Vexor.Test.Uncleanable in $/f at 32\nclean-failed\nsummary 3\nleave",
         "VEXOR-REPAIRABLE-TEST-SIGNATURE VEXOR-UNCLEANABLE-TEST-SIGNATURE"},
        {"clean file is not touched", "fine", "enter\nname $/f\nsummary 0\nleave", "fine"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        WriteFile(dir_ / "f", c.content);
        ASSERT_EQ(0, ::chmod((dir_ / "f").c_str(), 0640));
        EXPECT_EQ(c.messages, Scan("f", true));
        EXPECT_EQ(c.after, ReadFile(dir_ / "f"));
        struct stat info;
        ASSERT_EQ(0, ::stat((dir_ / "f").c_str(), &info));
        EXPECT_EQ(0640u, info.st_mode & 07777);
    }
}

TEST_F(EngineClean, InfectedMemberIsTakenOutOfItsZip) {
    WriteFile(dir_ / "mail.zip", MakeZip({{"readme.txt", "hello"}, {"eicar.com", kEicar}}));
    EXPECT_EQ(
        "enter\nname $/mail.zip\ncontainer-start\n"
        "enter\nname $/mail.zip/readme.txt\nleave\n"
        "enter\nname $/mail.zip/eicar.com\n"
        "infected EICAR-Test-File in $/mail.zip/eicar.com at 0\nleave\n"
        "container-end\ncleaned 2 $/mail.zip/eicar.com\nsummary 3\nleave",
        Scan("mail.zip", true));
    EXPECT_EQ("readme.txt=hello", ListZip(ReadFile(dir_ / "mail.zip")));
    EXPECT_EQ(
        "enter\nname $/mail.zip\ncontainer-start\nenter\nname $/mail.zip/readme.txt\nleave\n"
        "container-end\nsummary 0\nleave",
        Scan("mail.zip"));
}

TEST_F(EngineClean, MemberOfNestedZipIsRepairedInPlace) {
    const std::string inner =
        MakeZip({{"doc.txt", "A VEXOR-REPAIRABLE-TEST-SIGNATURE B"}, {"keep.txt", "keep"}});
    WriteFile(dir_ / "outer.zip", MakeZip({{"inner.zip", inner}, {"note.txt", "note"}}));
    const std::string messages = Scan("outer.zip", true);
    EXPECT_NE(std::string::npos,
              messages.find("container-end\ncleaned 1 $/outer.zip/inner.zip/doc.txt\nsummary 3"));

    const std::string outer = ReadFile(dir_ / "outer.zip");
    const std::string listing = ListZip(outer);
    ASSERT_NE("unreadable", listing);
    const size_t inner_at = listing.find("inner.zip=") + 10;
    const size_t note_at = listing.find("\nnote.txt=note");
    ASSERT_NE(std::string::npos, note_at);
    EXPECT_EQ("doc.txt=A  B\nkeep.txt=keep", ListZip(listing.substr(inner_at, note_at - inner_at)));
}

TEST_F(EngineClean, IncompletelyScannedZipIsNotChanged) {
    const std::string zip = MakeStoredZip({{"secret.txt", "x", true}, {"eicar.com", kEicar}});
    WriteFile(dir_ / "locked.zip", zip);
    EXPECT_EQ(
        "enter\nname $/locked.zip\ncontainer-start\n"
        "enter\nname $/locked.zip/secret.txt\nnot-scanned 3\nleave\n"
        "enter\nname $/locked.zip/eicar.com\n"
        "infected EICAR-Test-File in $/locked.zip/eicar.com at 0\nleave\n"
        "container-end\nclean-failed\nsummary 3\nleave",
        Scan("locked.zip", true));
    EXPECT_EQ(zip, ReadFile(dir_ / "locked.zip"));
}

TEST_F(EngineClean, FailedRewriteLeavesTheFileAsItWas) {
    // The repaired copy is made beside the file; in a folder the scanning
    // account cannot write to (root writes anywhere, so the scan runs as an
    // unprivileged account) the repair fails.
    WriteFile(dir_ / "ro/f", "VEXOR-REPAIRABLE-TEST-SIGNATURE");
    ASSERT_EQ(0, ::chmod(dir_.path().c_str(), 0755));
    ASSERT_EQ(0, ::chmod((dir_ / "ro/f").c_str(), 0666));
    ASSERT_EQ(0, ::chmod((dir_ / "ro").c_str(), 0555));
    const auto child = TesselSoftware::Testing::RunInChild(
        [&](int out_fd) {
            const std::string text = Scan("ro/f", true);
            return ::write(out_fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())
                       ? 0
                       : 1;
        },
        true);
    ASSERT_EQ(0, ::chmod((dir_ / "ro").c_str(), 0755));
    EXPECT_EQ(0, child.status);
    EXPECT_EQ(
        "enter\nname $/ro/f\ninfected Vexor.Test.Repairable in $/ro/f at 0\nclean-failed\n"
        "summary 3\nleave",
        child.output);
    EXPECT_EQ("VEXOR-REPAIRABLE-TEST-SIGNATURE", ReadFile(dir_ / "ro/f"));
}

}  // namespace
}  // namespace VexorEngine::Testing
