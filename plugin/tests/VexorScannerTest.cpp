// The scanner object against a scripted engine: the start request, the
// mapping of engine messages to results, cleaning and the definition reload.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <thread>

#include "vexor/DatFormat.h"

#include "EngineState.h"
#include "PluginTestSupport.h"
#include "TestSupport.h"
#include "VexorScanner.h"

namespace TesselSoftware {
namespace {

using Testing::OwnedInfo;
using Testing::OwnedText;
using Testing::ReadFile;
using Testing::WriteFile;

class VexorScannerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Testing::PluginTestRoot();
        Testing::ClearProductKey();
        log_path_ = dir_ / "engine.log";
        ::setenv("SCRIPTED_ENGINE_LOG", log_path_.c_str(), 1);
        for (const char* name : {"SCRIPTED_ENGINE_SCRIPT", "SCRIPTED_ENGINE_INIT_STATUS",
                                 "SCRIPTED_ENGINE_CLOSE_FAILURES", "SCRIPTED_ENGINE_SCAN_STATUS",
                                 "SCRIPTED_ENGINE_NULL_LINK", "SCRIPTED_ENGINE_BLOCK_PATH"}) {
            ::unsetenv(name);
        }
        Script("425;411;428:0;419");
        SetDate(Testing::DosDateDaysAgo(0));
        Testing::ConfigureEngine(VEXOR_SCRIPTED_ENGINE_DIR, "hash-1");
        WriteFile(dat_ + "/avvscan.dat", "unused by the scripted engine");
        Testing::ConfigureDat(dat_, 1);
        now_ = std::time(nullptr);
        engine().SetClockForTesting([this] { return now_.load(); });
        engine().SetPollPauseForTesting(1);
        WriteFile(sample_, "some mail content");
    }
    void TearDown() override {
        first_.Uninitialise();
        second_.Uninitialise();
        engine().SetClockForTesting([] { return static_cast<int64_t>(std::time(nullptr)); });
        engine().SetPollPauseForTesting(250);
    }

    static EngineState& engine() { return EngineState::Instance(); }
    static void Script(const std::string& script) { ::setenv("SCRIPTED_ENGINE_SCRIPT", script.c_str(), 1); }
    static void SetDate(uint16_t date) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%x", date);
        ::setenv("SCRIPTED_ENGINE_DATE", hex, 1);
    }
    std::vector<std::string> EngineCalls() {
        std::vector<std::string> calls;
        std::istringstream in(Testing::Exists(log_path_) ? ReadFile(log_path_) : "");
        for (std::string line; std::getline(in, line);) calls.push_back(line);
        return calls;
    }
    int32_t Initialise(CVexorScanner& scanner, bool extra_option = false) {
        ScannerOptions options{0, static_cast<uint8_t>(extra_option ? 1 : 0)};
        return scanner.Initialise(&options, &info_, &error_);
    }
    // Scans sample_ with the current script: "code|virus|message".
    std::string Scan(CVexorScanner& scanner, const std::string& path = "") {
        OwnedText virus, message;
        const int32_t code = scanner.ScanFile((path.empty() ? sample_ : path).c_str(), &virus, &message);
        return std::to_string(code) + "|" + virus.str() + "|" + message.str();
    }

    Testing::ScratchDir dir_;
    std::string log_path_;
    std::string dat_ = dir_ / "dat/avvdat-1-files";
    std::string sample_ = dir_ / "mail/a.doc";
    std::atomic<int64_t> now_{0};
    Testing::RecordingLogger logger_;
    OwnedInfo info_;
    OwnedText error_;
    CVexorScanner first_, second_;
};

TEST_F(VexorScannerTest, InitialiseNotReadyWithoutDatPathAndLeavesTheErrorAlone) {
    Testing::ClearProductKey();
    Testing::ConfigureEngine(VEXOR_SCRIPTED_ENGINE_DIR, "hash-1");
    error_.text = strdup("untouched");
    EXPECT_EQ(kInitNotReady, Initialise(first_));
    EXPECT_EQ("untouched", error_.str());
    EXPECT_STREQ("Vexor for Tessel", info_.product_name.text);
    EXPECT_STREQ("Ostrel", info_.vendor_name.text);
    EXPECT_EQ(0, info_.ready);
    EXPECT_TRUE(EngineCalls().empty());
}

TEST_F(VexorScannerTest, InitialiseFailures) {
    Testing::ConfigureDat(dat_, 0);
    EXPECT_EQ(kInitFailed, Initialise(first_));
    EXPECT_EQ("No DAT version set. No DAT files found.", error_.str());
    EXPECT_EQ(1, info_.dat_folder_known);
    EXPECT_EQ(dat_, std::string(info_.dat_folder.text));

    Testing::ConfigureDat(dat_, 1);
    // The loader's reason, by what is wrong with the engine library.
    WriteFile(dir_ / "not-elf/mscan64a.so", "just text");
    std::filesystem::create_directories(dir_ / "no-entry-points");
    std::filesystem::copy_file(VEXOR_PLUGIN_LIBRARY, dir_ / "no-entry-points/mscan64a.so");
    const struct {
        std::string folder;
        const char* code_and_reason;
    } loads[] = {
        {dir_ / "no-engine-here", " (126) ("},
        {dir_ / "not-elf", " (193) ("},
        {dir_ / "no-entry-points", " (127) (The specified procedure could not be found. (AVInitialise))"},
    };
    for (const auto& load : loads) {
        SCOPED_TRACE(load.folder);
        Testing::ConfigureEngine(load.folder, "hash-1");
        EXPECT_EQ(kInitFailed, Initialise(first_));
        EXPECT_EQ(0u, error_.str().find("Vexor engine dll was not found. (" + load.folder + ")" +
                                        load.code_and_reason))
            << error_.str();
    }

    Testing::ConfigureEngine(VEXOR_SCRIPTED_ENGINE_DIR, "hash-1");
    ::setenv("SCRIPTED_ENGINE_INIT_STATUS", "4", 1);
    EXPECT_EQ(kInitFailed, Initialise(first_));
    EXPECT_EQ("Failed to initialize AV interface: 4", error_.str());
    ::unsetenv("SCRIPTED_ENGINE_INIT_STATUS");

    SetDate(0x0000);  // day 0, month 0: not a date
    EXPECT_EQ(kInitFailed, Initialise(first_));
    EXPECT_NE(std::string::npos, error_.str().find("invalid date")) << error_.str();
    EXPECT_EQ("close 0", EngineCalls().back());  // the engine it started is closed again
}

TEST_F(VexorScannerTest, StartRequestCarriesExtraDatOnlyWhenPresent) {
    ASSERT_EQ(kInitReady, Initialise(first_));
    EXPECT_EQ("init 100,110,107,108", EngineCalls().at(0));
    EXPECT_STREQ("6.1", info_.engine_version.text);
    EXPECT_EQ(0u, std::string(info_.dat_version.text).find("1, "));
    EXPECT_EQ(1, info_.ready);
    first_.Uninitialise();
    WriteFile(dat_ + "/extra.dat", "x");
    ASSERT_EQ(kInitReady, Initialise(first_));
    EXPECT_EQ("init 100,110,112,107,108", EngineCalls().back());
}

TEST_F(VexorScannerTest, TwoObjectsShareOneEngineStartedOnce) {
    ASSERT_EQ(kInitReady, Initialise(first_));
    ASSERT_EQ(kInitReady, Initialise(second_));
    EXPECT_EQ(std::vector<std::string>{"init 100,110,107,108"}, EngineCalls());
    first_.Uninitialise();
    EXPECT_EQ(1u, EngineCalls().size());
    EXPECT_EQ("0||", Scan(second_));
    second_.Uninitialise();
    EXPECT_EQ("close 0", EngineCalls().back());
    EXPECT_EQ(0u, engine().handle());
}

TEST_F(VexorScannerTest, EngineMessagesMapToResults) {
    ASSERT_EQ(kInitReady, Initialise(first_));
    const std::pair<const char*, const char*> rows[] = {
        {"425;411;428:0;419", "0||"},
        {"425;415:Virus.A;428:3;419", "1|Virus.A|"},
        {"425;426;425;415:Inner.Worm;419;427;428:3;419", "1|Inner.Worm|"},
        {"425;415:First;415:Second;428:3;419", "1|Second|"},
        {"425;414:e;428:0;419", "3||File is corrupt"},
        {"425;414:3;419", "2||File is encrypted"},
        {"425;414:2;428:2;419", "6||File contents could not be fully unpacked or analyzed"},
        {"425;414:8;419", "-1||File is locked or access denied"},
        {"425;414:d;419", "0||File contains 0 Kb"},
        {"425;414:5;428:0;419", "-1||Unexpected scanner failure: no further information"},
        {"425;428:0", "-1||Unexpected scanner failure: no further information"},
        {"425;414:e;428:0", "-1||Unexpected scanner failure: no further information"},
        {"425;419", "-1||Unexpected scanner failure: no further information"},
    };
    for (const auto& [script, expected] : rows) {
        SCOPED_TRACE(script);
        Script(script);
        EXPECT_EQ(expected, Scan(first_));
    }
}

TEST_F(VexorScannerTest, ZeroByteFilesNeverReachTheEngine) {
    ASSERT_EQ(kInitReady, Initialise(first_));
    WriteFile(dir_ / "empty", "");
    EXPECT_EQ("0||", Scan(first_, dir_ / "empty"));
    OwnedText message;
    EXPECT_EQ(kCleanFailed, first_.CleanFile((dir_ / "empty").c_str(), &message));
    EXPECT_EQ("The file could not be cleaned by Vexor - zero-length.", message.str());
    EXPECT_EQ(1u, EngineCalls().size());  // only the start
}

TEST_F(VexorScannerTest, DatFilesOlderThanThirtyDaysAreReported) {
    SetDate(Testing::DosDateDaysAgo(30));
    ASSERT_EQ(kInitReady, Initialise(first_));
    now_ = engine().dat_date() + 30 * 86400 + 5 * 3600;
    engine().ScheduleChecks(now_);
    EXPECT_EQ("0||", Scan(first_));
    now_ = engine().dat_date() + 31 * 86400 + 60;
    engine().ScheduleChecks(now_);
    EXPECT_EQ("4||No viruses found (using 31 day old DAT files)", Scan(first_));
}

TEST_F(VexorScannerTest, RequestItemsFollowTheOptionsInOrder) {
    ASSERT_EQ(kInitReady, Initialise(first_, true));
    Scan(first_);
    const std::string base = "scan 100,7,502,561,400,401,403,404,517,101";
    EXPECT_EQ(base + ",412 " + sample_, EngineCalls().back());
    OwnedText message;
    Script("425;428:0;419");
    first_.CleanFile(sample_.c_str(), &message);
    EXPECT_EQ(base + ",412,300 " + dir_ / "mail/a_1.doc", EngineCalls().back());
    second_.Initialise(nullptr, nullptr, nullptr);
    Scan(second_);
    EXPECT_EQ(base + " " + sample_, EngineCalls().back());
}

TEST_F(VexorScannerTest, CleaningOutcomes) {
    ASSERT_EQ(kInitReady, Initialise(first_));
    const auto clean = [&](const char* script) {
        Script(script);
        OwnedText message;
        const int32_t code = first_.CleanFile(sample_.c_str(), &message);
        return std::to_string(code) + "|" + message.str();
    };
    EXPECT_EQ("1|No virus found.", clean("425;428:0;419"));
    EXPECT_EQ("some mail content", ReadFile(sample_));
    EXPECT_EQ("1|The file could not be cleaned by Vexor.", clean("425;415:V;416;428:3;419"));
    EXPECT_EQ("1|The file could not be cleaned by Vexor.", clean("425;415:V;417:4;428:3;419"));
    EXPECT_EQ("-1|Internal scanner error file not cleaned", clean("425;415:V;417:1;428:3"));
    EXPECT_EQ("some mail content", ReadFile(sample_));
    EXPECT_EQ("1|The file could not be cleaned", clean("425;414:3;419"));
    EXPECT_EQ("0|", clean("425;415:V;417:1;428:3;419"));
    EXPECT_EQ("repaired", ReadFile(sample_));
    EXPECT_FALSE(Testing::Exists(dir_ / "mail/a_1.doc"));  // no temporary copy is left
}

TEST_F(VexorScannerTest, CleaningFailuresOfTheCopyAndTheReplacement) {
    ASSERT_EQ(kInitReady, Initialise(first_));
    OwnedText message;
    // A folder cannot be copied.
    std::filesystem::create_directories(dir_ / "mail/folder.doc");
    WriteFile(dir_ / "mail/folder.doc/inside", "x");
    EXPECT_EQ(kCleanFailed, first_.CleanFile((dir_ / "mail/folder.doc").c_str(), &message));
    EXPECT_EQ("Failed to make a temporary copy of the file.", message.str());

    // The repaired copy cannot take the original's place.
    Script("425;415:V;417:1;428:3;419");
    ::setenv("SCRIPTED_ENGINE_BLOCK_PATH", sample_.c_str(), 1);
    EXPECT_EQ(kCleanFailed, first_.CleanFile(sample_.c_str(), &message));
    EXPECT_EQ("File was cleaned but could not be replaced.", message.str());
    EXPECT_FALSE(Testing::Exists(dir_ / "mail/a_1.doc"));  // the copy is gone
}

TEST_F(VexorScannerTest, ABackslashIsPartOfTheFileNameAndRootFilesCopyInPlace) {
    ASSERT_EQ(kInitReady, Initialise(first_));
    Script("425;415:V;417:1;428:3;419");
    const std::string odd = dir_ / "mail/odd\\name.doc";
    WriteFile(odd, "infected");
    OwnedText message;
    EXPECT_EQ(kCleanDone, first_.CleanFile(odd.c_str(), &message));
    EXPECT_EQ("repaired", ReadFile(odd));
    // The copy sits beside the original, not in a folder "mail/odd".
    EXPECT_TRUE(EngineCalls().back().ends_with(" " + dir_ / "mail/odd#name.doc"))
        << EngineCalls().back();

    // A file in "/" keeps its temporary copy there, not in the working directory.
    const std::string root_file = "/vexor-clean-test-" + std::to_string(::getpid()) + ".doc";
    if (::access("/", W_OK) != 0) GTEST_SKIP() << "the root folder is not writable here";
    WriteFile(root_file, "infected");
    EXPECT_EQ(kCleanDone, first_.CleanFile(root_file.c_str(), &message));
    const std::string scanned = EngineCalls().back();
    std::remove(root_file.c_str());
    EXPECT_NE(std::string::npos, scanned.find(" //vexor-clean-test-")) << scanned;
}

TEST_F(VexorScannerTest, AnEngineScanErrorFailsTheScanWithItsStatus) {
    ASSERT_EQ(kInitReady, Initialise(first_));
    ::setenv("SCRIPTED_ENGINE_SCAN_STATUS", "7", 1);
    EXPECT_EQ("-1||ScanObject error: 7\n", Scan(first_));
}

TEST_F(VexorScannerTest, ANullLinkInTheDatDateChainFailsTheStart) {
    for (const char* link : {"1", "2", "3", "4"}) {
        SCOPED_TRACE(link);
        ::setenv("SCRIPTED_ENGINE_NULL_LINK", link, 1);
        EXPECT_EQ(kInitFailed, Initialise(first_));
        EXPECT_NE(std::string::npos, error_.str().find("invalid date")) << error_.str();
    }
}

TEST_F(VexorScannerTest, ADecemberDatDateReadsAsDecember) {
    SetDate(VexorEngine::PackDosDate(2026, 12, 15));
    ASSERT_EQ(kInitReady, Initialise(first_));
    char expected[64];
    struct tm date {};
    date.tm_year = 126;
    date.tm_mon = 11;
    date.tm_mday = 15;
    std::strftime(expected, sizeof expected, "1, %x", &date);
    EXPECT_STREQ(expected, info_.dat_version.text);
}

// What the library's unloading runs when the host left an engine running.
TEST_F(VexorScannerTest, ShutdownWaitsForRunningScansUnderTheEngineLock) {
    ASSERT_EQ(kInitReady, Initialise(first_));
    ++engine().active_scans();  // a scan is running
    std::atomic<bool> done{false};
    std::thread unload([&] {
        engine().Shutdown();
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(done.load());
    EXPECT_FALSE(engine().engine_lock().try_lock());  // no start can slip in meanwhile
    --engine().active_scans();
    unload.join();
    EXPECT_EQ("close 0", EngineCalls().back());
    EXPECT_EQ(0u, engine().handle());
}

TEST_F(VexorScannerTest, UninitialiseRacingAReloadLeavesAWorkingEngine) {
    ASSERT_EQ(kInitReady, Initialise(first_));
    std::atomic<bool> stop{false};
    std::thread other([&] {
        while (!stop.load()) {
            OwnedInfo info;
            OwnedText error;
            ScannerOptions options{0, 0};
            if (second_.Initialise(&options, &info, &error) == kInitReady) second_.Uninitialise();
        }
    });
    for (uint32_t version = 2; version < 40; ++version) {
        Testing::ConfigureDat(dat_, version);
        now_ += 61;  // every scan checks, and finds a newer version
        const std::string result = Scan(first_);
        EXPECT_TRUE(result == "0||" || result.starts_with("-1||")) << result;
    }
    stop = true;
    other.join();
    now_ += 61;
    EXPECT_EQ("0||", Scan(first_));
}

TEST_F(VexorScannerTest, ClosedEngineFailsScansAndCleans) {
    ASSERT_EQ(kInitReady, Initialise(first_));
    Testing::ConfigureDat(dat_, 2);
    ::setenv("SCRIPTED_ENGINE_INIT_STATUS", "3", 1);
    now_ += 61;
    EXPECT_EQ("-1||Failed to initialize AV interface: 3", Scan(first_));
    EXPECT_EQ("-1||Engine has been closed - Virus signature update failed.", Scan(first_));
    OwnedText message;
    EXPECT_EQ(kCleanFailed, first_.CleanFile(sample_.c_str(), &message));
    EXPECT_EQ("Engine has been closed - Virus signature update failed.", message.str());
    // A later check with a reason starts it again.
    ::unsetenv("SCRIPTED_ENGINE_INIT_STATUS");
    Testing::ConfigureDat(dat_, 3);
    now_ += 61;
    EXPECT_EQ("0||", Scan(first_));
}

TEST_F(VexorScannerTest, ReloadOnlyForANewerVersionOrAnotherEngine) {
    first_.SetLogger(&logger_);
    ASSERT_EQ(kInitReady, Initialise(first_));
    const size_t starts = EngineCalls().size();
    Testing::ConfigureDat(dat_, 1);
    Testing::ConfigureEngine(VEXOR_SCRIPTED_ENGINE_DIR, "HASH-1");  // case only
    now_ += 61;
    Scan(first_);
    EXPECT_EQ(starts + 1, EngineCalls().size());  // the scan itself, no restart

    Testing::ConfigureDat(dat_, 2);
    Testing::ConfigureEngine(VEXOR_SCRIPTED_ENGINE_DIR, "hash-2");
    now_ += 61;
    EXPECT_EQ("0||", Scan(first_));
    EXPECT_TRUE(logger_.Contains(
        "1 Restarting engine, reason: Updating Vexor engine to version 2 DAT file.\n"
        "Updating Vexor engine\n"));
    EXPECT_TRUE(logger_.Contains("1 Vexor engine successfully reinitialized.\n"));
    const auto calls = EngineCalls();
    EXPECT_EQ("close 0", calls.at(calls.size() - 3));
    EXPECT_EQ("init 100,110,107,108", calls.at(calls.size() - 2));

    // Only the engine check is due 15 s on: a new hash restarts, nothing else.
    Testing::ConfigureEngine(VEXOR_SCRIPTED_ENGINE_DIR, "hash-3");
    now_ += 16;
    Scan(first_);
    EXPECT_TRUE(logger_.Contains("1 Restarting engine, reason: Updating Vexor engine\n"));
}

TEST_F(VexorScannerTest, MissingDatSettingsFailEveryScanUntilTheyAreBack) {
    ASSERT_EQ(kInitReady, Initialise(first_));
    Testing::ConfigureDat("", 1);
    now_ += 61;
    const std::string missing =
        "-1||Virus scanner is not installed or doesn't have any DAT files.";
    EXPECT_EQ(missing, Scan(first_));
    EXPECT_EQ(missing, Scan(first_));  // the due time did not move on
    Testing::ConfigureDat(dat_, 1);
    EXPECT_EQ("0||", Scan(first_));
}

TEST_F(VexorScannerTest, EngineThatWillNotStopKeepsRunning) {
    ::setenv("SCRIPTED_ENGINE_CLOSE_FAILURES", "10", 1);
    ASSERT_EQ(kInitReady, Initialise(first_));
    Testing::ConfigureDat(dat_, 2);
    now_ += 61;
    EXPECT_EQ("-1||Unable to stop Vexor engine. Error: 6", Scan(first_));
    size_t closes = 0;
    for (const std::string& call : EngineCalls()) closes += call == "close 6";
    EXPECT_EQ(10u, closes);
    now_ += 1;  // the DAT check moved on: the old engine scans on
    EXPECT_EQ("0||", Scan(first_));
}

TEST_F(VexorScannerTest, NoScansNoChecks) {
    ASSERT_EQ(kInitReady, Initialise(first_));
    Testing::ConfigureDat(dat_, 9);
    now_ += 3600;
    EXPECT_EQ(1u, EngineCalls().size());
    EXPECT_EQ(1u, static_cast<unsigned>(EngineState::Instance().initialised_objects().load()));
}

}  // namespace
}  // namespace TesselSoftware
