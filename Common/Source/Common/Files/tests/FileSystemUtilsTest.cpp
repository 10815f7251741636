#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "Common/Errors/ExceptionBase.h"
#include "Common/EventLogging.h"
#include "Common/Files/FileSystemUtils.h"
#include "TestSupport.h"

namespace TesselSoftware {
namespace {

using Testing::Exists;
using Testing::ScratchDir;
using Testing::WriteFile;

TEST(CombinePath, JoinsByTheNativeAndShareRules) {
    struct Row {
        const char* base;
        const char* relative;
        const char* expected;
    } rows[] = {
        {"/var/dat/UpdateFrom-12", "oem.ini", "/var/dat/UpdateFrom-12/oem.ini"},
        {"/var/dat/", "oem.ini", "/var/dat/oem.ini"},
        {"", "oem.ini", "oem.ini"},
        {"/anything", "/abs/x", "/abs/x"},
        {"/var/dat", "sub/oem.ini", "/var/dat/sub/oem.ini"},
        {"/var/dat", "x", "/var/dat/x"},
        {"/", "etc", "/etc"},
        {"relative/base", "f", "relative/base/f"},
        {"\\\\srv\\share\\dir", "oem.ini", "\\\\srv\\share\\dir\\oem.ini"},
        {"\\\\srv\\share\\dir\\", "oem.ini", "\\\\srv\\share\\dir\\oem.ini"},
        {"\\\\srv\\share\\dir", "\\xy", "\\\\srv\\share\\xy"},
        {"\\\\srv\\share", "\\xy", "\\\\srv\\share\\xy"},
        {"\\\\srv\\share\\dir", "\\x", "\\\\srv\\share\\dir\\\\x"},
        {"/var/dat", "\\\\other\\share", "\\\\other\\share"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.base) + " + " + row.relative);
        EXPECT_EQ(row.expected, CombinePath(row.base, row.relative));
    }
}

TEST(CombinePath, ShareRootedPathOnABaseWithoutShareThrows) {
    try {
        CombinePath("\\\\srv", "\\xy");
        FAIL() << "no exception";
    } catch (const ExceptionBase& e) {
        EXPECT_EQ(0, e.Code());
        EXPECT_EQ("Invalid base path <\\\\srv>", e.Message());
    }
}

TEST(ParentPath, SplitsAtTheLaterSeparatorOfEitherKind) {
    EXPECT_EQ("/var/dat", ParentPath("/var/dat/oem.ini"));
    EXPECT_EQ("\\\\srv\\share", ParentPath("\\\\srv\\share\\file"));
    EXPECT_EQ("a\\b", ParentPath("a\\b/c"));
    EXPECT_EQ("a/b", ParentPath("a/b\\c"));
    EXPECT_EQ("", ParentPath("oem.ini"));
    EXPECT_EQ("", ParentPath("/oem.ini"));
    EXPECT_EQ("/var/dat", ParentPath("/var/dat/"));
    EXPECT_EQ("oem.ini", FileNamePart("/var/dat/oem.ini"));
    EXPECT_EQ("oem.ini", FileNamePart("oem.ini"));
    EXPECT_EQ("", FileNamePart("/var/dat/"));
    EXPECT_EQ("c", FileNamePart("a/b\\c"));
}

TEST(EnsureDirectory, CreatesMissingParentsOnlyWhenAsked) {
    ScratchDir dir;
    const std::string deep = dir / "a/b/c";
    EXPECT_FALSE(EnsureDirectory(deep, false));
    EXPECT_FALSE(Exists(dir / "a"));
    EXPECT_TRUE(EnsureDirectory(deep, true));
    EXPECT_TRUE(Exists(deep));
    EXPECT_TRUE(EnsureDirectory(deep, false));
}

TEST(EnsureDirectory, ReadOnlyFolderOrAFileIsRefused) {
    ScratchDir dir;
    ASSERT_EQ(0, ::mkdir((dir / "ro").c_str(), 0555));
    EXPECT_FALSE(EnsureDirectory(dir / "ro", true));
    WriteFile(dir / "file", "x");
    EXPECT_FALSE(EnsureDirectory(dir / "file", true));
    EXPECT_FALSE(EnsureDirectory(dir / "file/sub", true));
    EXPECT_FALSE(EnsureDirectory("", true));
}

class RecordingEventLog : public IEventLogging {
public:
    bool LogV(int32_t, const char*, va_list) override { return true; }
    bool ReportV(EventType type, uint32_t, const char* format, va_list args) override {
        char text[2048];
        std::vsnprintf(text, sizeof text, format, args);
        events.push_back((type == EventType::kWarning ? "warning: " : "other: ") +
                         std::string(text));
        return true;
    }
    std::vector<std::string> events;
};

TEST(DelTree, EmptiesNestedReadOnlyTreeButKeepsTheFolder) {
    ScratchDir dir;
    const std::string root = dir / "tree";
    WriteFile(root + "/file.dat", "1");
    WriteFile(root + "/sub/inner.dat", "2");
    WriteFile(root + "/sub/deeper/x", "3");
    ASSERT_EQ(0, ::chmod((root + "/file.dat").c_str(), 0444));
    ASSERT_EQ(0, ::chmod((root + "/sub/deeper").c_str(), 0555));
    ASSERT_EQ(0, ::chmod((root + "/sub").c_str(), 0555));

    EXPECT_TRUE(DelTree(root));
    EXPECT_TRUE(Exists(root));
    EXPECT_FALSE(Exists(root + "/file.dat"));
    EXPECT_FALSE(Exists(root + "/sub"));
}

TEST(DelTree, RemovesLinksWithoutFollowingThem) {
    ScratchDir dir;
    WriteFile(dir / "outside/keep.dat", "keep");
    WriteFile(dir / "tree/f", "x");
    ASSERT_EQ(0, ::symlink((dir / "outside").c_str(), (dir / "tree/dirlink").c_str()));
    ASSERT_EQ(0, ::symlink((dir / "outside/keep.dat").c_str(), (dir / "tree/filelink").c_str()));
    EXPECT_TRUE(DelTree(dir / "tree"));
    EXPECT_FALSE(Exists(dir / "tree/dirlink"));
    EXPECT_TRUE(Exists(dir / "outside/keep.dat"));
}

TEST(DelTree, EmptyPathThrowsAndAMissingFolderHasNothingToDelete) {
    try {
        DelTree("");
        FAIL() << "no exception";
    } catch (const ExceptionBase& e) {
        EXPECT_EQ("DelTree passed a NULL path.", e.Message());
    }
    ScratchDir dir;
    EXPECT_TRUE(DelTree(dir / "missing"));
    WriteFile(dir / "file", "x");
    EXPECT_FALSE(DelTree(dir / "file"));  // not a folder
}

TEST(DelTree, FailuresAreReportedThroughTheCurrentEventLogAndTheWalkGoesOn) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to set up a folder another account owns";
    // The tree belongs to an unprivileged account, except one sub-folder that
    // root owns: that account can delete everything but that folder's file.
    ScratchDir dir;
    const std::string tree = dir / "tree";
    WriteFile(tree + "/a.dat", "1");
    WriteFile(tree + "/locked/f", "x");
    WriteFile(tree + "/z/b.dat", "2");
    ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0755));
    for (const char* path : {"", "/a.dat", "/z", "/z/b.dat"}) {
        ASSERT_EQ(0, ::chown((tree + path).c_str(), Testing::kNobodyId, Testing::kNobodyId));
    }
    const auto child = Testing::RunInChild(
        [&](int out) {
            RecordingEventLog log;
            ClaimCurrentEventLog(&log);
            const bool ok = DelTree(tree);
            for (const std::string& event : log.events) {
                const std::string line = event + "\n";
                if (::write(out, line.data(), line.size()) < 0) return 3;
            }
            return ok ? 1 : 0;
        },
        true);
    EXPECT_EQ(0, child.status) << child.output;
    EXPECT_NE(std::string::npos,
              child.output.find("warning: Cannot unlink file <" + tree +
                                "/locked/f>, error = (5 - Access is denied.\r\n)"))
        << child.output;
    EXPECT_NE(std::string::npos,
              child.output.find("warning: Cannot remove directory <" + tree + "/locked>"))
        << child.output;
    EXPECT_FALSE(Exists(tree + "/a.dat"));
    EXPECT_FALSE(Exists(tree + "/z"));
    EXPECT_TRUE(Exists(tree + "/locked/f"));
}

TEST(CurrentEventLog, FirstClaimKeepsTheRoleUntilReleased) {
    RecordingEventLog first, second;
    ASSERT_TRUE(ClaimCurrentEventLog(&first));
    EXPECT_FALSE(ClaimCurrentEventLog(&second));
    EXPECT_EQ(&first, CurrentEventLog());
    ReleaseCurrentEventLog(&second);
    EXPECT_EQ(&first, CurrentEventLog());
    ReleaseCurrentEventLog(&first);
    EXPECT_EQ(nullptr, CurrentEventLog());
}

TEST(SanitizeFileName, ReplacesReservedAndControlCharacters) {
    EXPECT_EQ("a#b#.txt", SanitizeFileName("a:b?.txt"));
    EXPECT_EQ("#########", SanitizeFileName("\\/:*<>|\"?"));
    EXPECT_EQ("tab_nl_del_", SanitizeFileName("tab\tnl\ndel\x7F"));
    EXPECT_EQ("caf\xC3\xA9.doc", SanitizeFileName("caf\xC3\xA9.doc"));
    EXPECT_EQ("c1_x", SanitizeFileName("c1\xC2\x85x"));
    EXPECT_EQ("bad_byte", SanitizeFileName("bad\xFF" "byte"));
    EXPECT_EQ("", SanitizeFileName(""));
}

TEST(CreateUnique, NumbersCollisionsBeforeTheExtension) {
    ScratchDir dir;
    EXPECT_EQ(dir / "report.doc", CreateUnique(dir.path(), "report.doc"));
    WriteFile(dir / "report.doc", "");
    EXPECT_EQ(dir / "report_1.doc", CreateUnique(dir.path(), "report.doc"));
    WriteFile(dir / "report_1.doc", "");
    EXPECT_EQ(dir / "report_2.doc", CreateUnique(dir.path(), "report.doc"));

    WriteFile(dir / "README", "");
    EXPECT_EQ(dir / "README_1", CreateUnique(dir.path(), "README"));
    WriteFile(dir / ".cfg", "");
    EXPECT_EQ(dir / ".cfg_1", CreateUnique(dir.path(), ".cfg"));
    WriteFile(dir / "a#b.txt", "");
    EXPECT_EQ(dir / "a#b_1.txt", CreateUnique(dir.path(), "a/b.txt"));
}

TEST(CreateUnique, DanglingLinkCountsAsTaken) {
    ScratchDir dir;
    ASSERT_EQ(0, ::symlink("/nonexistent/target", (dir / "x.eml").c_str()));
    EXPECT_EQ(dir / "x_1.eml", CreateUnique(dir.path(), "x.eml"));
}

TEST(CreateUnique, GivesUpAfterTheHundredAndFirstCandidate) {
    ScratchDir dir;
    WriteFile(dir / "m.eml", "");
    for (int n = 1; n <= 100; ++n) WriteFile(dir / ("m_" + std::to_string(n) + ".eml"), "");
    EXPECT_EQ(dir / "m_101.eml", CreateUnique(dir.path(), "m.eml"));
    WriteFile(dir / "m_101.eml", "");
    try {
        CreateUnique(dir.path(), "m.eml");
        FAIL() << "no exception";
    } catch (const ExceptionBase& e) {
        EXPECT_EQ("CreateUnique: Unable to create a unique name for <m.eml> in dir <" +
                      dir.path() + ">",
                  e.Message());
    }
}

}  // namespace
}  // namespace TesselSoftware
