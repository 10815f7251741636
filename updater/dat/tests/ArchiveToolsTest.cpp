#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "Common/Errors/ExceptionBase.h"
#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "TestSupport.h"
#include "UpdaterTestSupport.h"
#include "dat/ArchiveTools.h"

namespace TesselSoftware {
namespace {

using Testing::Exists;
using Testing::ReadFile;
using Testing::WriteFile;

template <typename Fn>
std::string ErrorOf(Fn&& fn) {
    try {
        fn();
    } catch (const CTLVexorNetException& e) {
        return "net: " + e.Message();
    } catch (const ExceptionBase& e) {
        return e.Message();
    }
    return "no exception";
}

class ArchiveToolsTest : public ::testing::Test {
protected:
    ArchiveToolsTest() : root_env_("VEXOR_SYSTEM_ROOT", dir_.path()) {}

    // InstallPath = a folder (with a space in its name) holding "7za".
    std::string InstallTool(const std::string& script_or_link, bool is_link) {
        const std::string install = dir_ / "Program Files/Vexor/";
        WriteFile(install + "placeholder", "");
        if (is_link) {
            EXPECT_EQ(0, ::symlink(script_or_link.c_str(), (install + "7za").c_str()));
        } else {
            WriteFile(install + "7za", script_or_link);
            ::chmod((install + "7za").c_str(), 0755);
        }
        RegistryKey key;
        key.Create(RegistryRoot::kLocalMachine, kProductKeyPath);
        key.WriteString("InstallPath", install);
        return install;
    }

    Testing::ScratchDir dir_;
    Testing::ScopedEnv root_env_;
    Testing::RecordingLog log_;
};

TEST_F(ArchiveToolsTest, Md5ChecksCompareIgnoringCaseAndLogFailures) {
    WriteFile(dir_ / "empty", "");
    WriteFile(dir_ / "abc", "abc");
    EXPECT_TRUE(CheckFileMD5(dir_ / "empty", "d41d8cd98f00b204e9800998ecf8427e", log_));
    EXPECT_TRUE(CheckFileMD5(dir_ / "abc", "900150983CD24FB0D6963F7D28E17F72", log_));
    EXPECT_TRUE(CheckFileMD5(dir_ / "missing", "", log_));
    EXPECT_TRUE(log_.Lines().empty());

    EXPECT_FALSE(CheckFileMD5(dir_ / "abc", "d41d8cd98f00b204e9800998ecf8427e", log_));
    EXPECT_EQ("2 MD5 hash for file: abc incorrect.\n", log_.Lines().back());
    EXPECT_FALSE(CheckFileMD5(dir_ / "abc", "900150983cd24fb0d6963f7d28e17f7", log_));
    EXPECT_FALSE(CheckFileMD5(dir_ / "missing", "900150983cd24fb0d6963f7d28e17f72", log_));
    EXPECT_EQ("2 Cannot open temporary file: " + dir_ / "missing" +
                  " - 2 - The system cannot find the file specified.\r\n\n",
              log_.Lines().back());
}

TEST_F(ArchiveToolsTest, Md5CheckNeedsOnlyReadAccess) {
    WriteFile(dir_ / "ro", "abc");
    ::chmod((dir_ / "ro").c_str(), 0444);
    EXPECT_TRUE(CheckFileMD5(dir_ / "ro", "900150983cd24fb0d6963f7d28e17f72", log_));
}

TEST_F(ArchiveToolsTest, DeleteFolderAndContentsCases) {
    EXPECT_EQ("Passed an empty directory to DeleteFolderAndContents",
              ErrorOf([] { DeleteFolderAndContents(""); }));
    WriteFile(dir_ / "set/a/b/c.dat", "x");
    ::chmod((dir_ / "set/a/b/c.dat").c_str(), 0444);
    DeleteFolderAndContents(dir_ / "set");
    EXPECT_FALSE(Exists(dir_ / "set"));
    DeleteFolderAndContents(dir_ / "set");  // missing, parent exists: fine
    EXPECT_EQ("Error removing directory, \"" + dir_ / "gone/set" +
                  "\" - 3 - The system cannot find the path specified.\r\n\r\n",
              ErrorOf([&] { DeleteFolderAndContents(dir_ / "gone/set"); }));
}

TEST_F(ArchiveToolsTest, RunAndWaitReturnsExitCodesAndNamesStartFailures) {
    EXPECT_EQ(3, RunAndWait("\"/bin/sh\" -c \"exit 3\"", 10000));
    EXPECT_EQ("Failed to execute <\"/no/such/7za\" x>, error = 2 - The system cannot find the "
              "file specified.\r\n",
              ErrorOf([] { RunAndWait("\"/no/such/7za\" x", 1000); }));
}

TEST_F(ArchiveToolsTest, HangingArchiveToolIsKilledAtTheTimeOut) {
    const std::string install = InstallTool("#!/bin/sh\nexec sleep 60\n", false);
    const auto start = std::chrono::steady_clock::now();
    const std::string error =
        ErrorOf([&] { UnzipArchive(dir_ / "a.zip", dir_ / "~out", log_, 300); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    const std::string command = "\"" + install + "7za\" x -y -p\"\" -o\"" + dir_ / "~out" +
                                "\" \"" + dir_ / "a.zip" + "\"";
    EXPECT_EQ("Timed out waiting for  <" + command + ">, error = Wait Timeout", error);
    EXPECT_EQ("-1 Attempting to unzip using the following: " + command + "\n", log_.Lines()[0]);
}

TEST_F(ArchiveToolsTest, ZipThenUnzipWithTheRealTool) {
    InstallTool("/usr/bin/7za", true);
    WriteFile(dir_ / "set/avvscan.dat", std::string(5000, 's'));
    WriteFile(dir_ / "set/avvnames.dat", "names");
    ZipFolder(dir_ / "set/*", dir_ / "avvdat-10001.zip", log_);
    ASSERT_TRUE(Exists(dir_ / "avvdat-10001.zip"));
    UnzipArchive(dir_ / "avvdat-10001.zip", dir_ / "~avvdat-10001-files", log_);
    EXPECT_EQ(std::string(5000, 's'), ReadFile(dir_ / "~avvdat-10001-files/avvscan.dat"));
    EXPECT_EQ("names", ReadFile(dir_ / "~avvdat-10001-files/avvnames.dat"));

    WriteFile(dir_ / "broken.zip", "PK\x03\x04 not really a zip");
    EXPECT_EQ("net: Unzip failed for file " + dir_ / "broken.zip" + ".\r\n",
              ErrorOf([&] { UnzipArchive(dir_ / "broken.zip", dir_ / "~x", log_); }));
}

TEST_F(ArchiveToolsTest, WithoutInstallPathTheToolComesFromPath) {
    EXPECT_EQ("", ArchiveToolFolder());
    InstallTool("/usr/bin/7za", true);
    EXPECT_EQ(dir_ / "Program Files/Vexor/", ArchiveToolFolder());
}

}  // namespace
}  // namespace TesselSoftware
