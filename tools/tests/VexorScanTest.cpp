// vexor-scan end to end: the real plug-in, engine and DAT files.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <sstream>

#include "Common/Platform/NamedMutex.h"
#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "TestSupport.h"
#include "vexor/DatFormat.h"

namespace TesselSoftware {
namespace {

using Testing::SpawnedProcess;
using Testing::WriteFile;

constexpr char kEicar[] =
    "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

class VexorScanTest : public ::testing::Test {
protected:
    VexorScanTest() : root_env_("VEXOR_SYSTEM_ROOT", dir_.path()) {}

    void InstallDats() {
        VexorEngine::DatFiles files;
        std::string error;
        const std::string list = std::string("EICAR-Test-File ; delete ; \"") + kEicar + "\"\n" +
                                 "Test.Repairable ; repair ; \"REPAIRABLE-TEST-MARKER\"\n";
        const std::time_t now = std::time(nullptr);
        struct tm today {};
        localtime_r(&now, &today);
        const uint16_t date =
            VexorEngine::PackDosDate(today.tm_year + 1900, today.tm_mon + 1, today.tm_mday);
        ASSERT_TRUE(VexorEngine::BuildDatFiles(list, "", 7, date, &files, &error))
            << error;
        WriteFile(dir_ / "dat/avvdat-7-files/.keep", "");
        ASSERT_TRUE(VexorEngine::WriteDatFiles(dir_ / "dat/avvdat-7-files", files, &error)) << error;
        RegistryKey key;
        key.Create(RegistryRoot::kLocalMachine, kProductKeyPath);
        key.WriteString("DATPath", dir_ / "dat/avvdat-7-files");
        key.WriteDword("DATVersion", 7);
        key.WriteString("EnginePath", VEXOR_ENGINE_LIBRARY_DIR);
        key.WriteString("EngineHash", "e1");
    }

    struct Run {
        int status;
        std::vector<std::string> lines;  // sorted, the summary last
    };
    Run Scan(std::vector<std::string> args) {
        args.insert(args.begin(), {VEXOR_SCAN_TOOL, "--plugin", VEXOR_PLUGIN_LIBRARY});
        SpawnedProcess tool(args);
        std::string output;
        Run run;
        run.status = tool.Wait(&output);
        std::istringstream in(output);
        for (std::string line; std::getline(in, line);) run.lines.push_back(line);
        if (run.lines.size() > 1) std::sort(run.lines.begin(), run.lines.end() - 1);
        return run;
    }

    Testing::ScratchDir dir_;
    Testing::ScopedEnv root_env_;
};

TEST_F(VexorScanTest, ScansATreeWithOneLinePerFile) {
    InstallDats();
    WriteFile(dir_ / "tree/clean.txt", "hello");
    WriteFile(dir_ / "tree/empty", "");
    WriteFile(dir_ / "tree/eicar.com", kEicar);
    WriteFile(dir_ / "zipped/inner.com", kEicar);
    ASSERT_EQ(0, std::system(("cd '" + dir_ / "zipped" + "' && 7za a -tzip -bd '" +
                              dir_ / "tree/sub/mail.zip" + "' inner.com >/dev/null")
                                 .c_str()));
    const Run run = Scan({"--threads", "2", dir_ / "tree"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ((std::vector<std::string>{
                  dir_ / "tree/clean.txt: OK",
                  dir_ / "tree/eicar.com: FOUND EICAR-Test-File",
                  dir_ / "tree/empty: OK",
                  dir_ / "tree/sub/mail.zip: FOUND EICAR-Test-File",
                  "Scanned: 4, infected: 2, errors: 0",
              }),
              run.lines);
}

TEST_F(VexorScanTest, ExitStatusesForCleanErrorsAndNotReady) {
    const Run not_ready = Scan({dir_.path()});
    EXPECT_EQ(2, not_ready.status);
    ASSERT_FALSE(not_ready.lines.empty());
    InstallDats();
    WriteFile(dir_ / "ok.txt", "fine");
    EXPECT_EQ(0, Scan({dir_ / "ok.txt"}).status);
    const Run missing = Scan({dir_ / "ok.txt", dir_ / "nope"});
    EXPECT_EQ(2, missing.status);
    EXPECT_EQ(dir_ / "nope: ERROR No such file or folder", missing.lines[0]);
    EXPECT_EQ(2, Scan({"--threads", "0", dir_ / "ok.txt"}).status);
}

TEST_F(VexorScanTest, CleanRepairsInPlace) {
    InstallDats();
    WriteFile(dir_ / "doc.bin", "before REPAIRABLE-TEST-MARKER after");
    const Run run = Scan({"--clean", dir_ / "doc.bin"});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(dir_ / "doc.bin: CLEANED", run.lines.at(0));
    EXPECT_EQ("before  after", Testing::ReadFile(dir_ / "doc.bin"));
    EXPECT_EQ(0, Scan({dir_ / "doc.bin"}).status);
}

}  // namespace
}  // namespace TesselSoftware
