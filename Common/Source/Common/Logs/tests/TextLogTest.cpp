#include <gtest/gtest.h>

#include <filesystem>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "Common/Logs/TextLog.h"
#include "TestSupport.h"

namespace TesselSoftware {
namespace {

using std::chrono::system_clock;
using Testing::Exists;
using Testing::ReadFile;
using Testing::ScratchDir;
using Testing::WriteFile;

// Local time is UTC in these tests, so dates and file names are fixed.
system_clock::time_point At(int year, int month, int day, int hour, int minute, int second) {
    struct tm parts {};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    return system_clock::from_time_t(timegm(&parts));
}

void SetModified(const std::string& path, system_clock::time_point when) {
    const struct timespec times[2] = {{system_clock::to_time_t(when), 0},
                                      {system_clock::to_time_t(when), 0}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0));
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class TextLogTest : public ::testing::Test {
protected:
    TextLogTest() : tz_("TZ", "UTC") {
        tzset();
        log_.SetClockForTesting([this] { return now_.load(); });
    }
    ~TextLogTest() override { tzset(); }

    bool OpenDaily() { return log_.Open(dir_ / "VexorUpdater", 7, 0, true, true, true); }

    Testing::ScopedEnv tz_;
    ScratchDir dir_;
    std::atomic<system_clock::time_point> now_{At(2026, 12, 7, 10, 30, 15)};
    CTextLog log_{6, 1, 2, 1564};
};

TEST_F(TextLogTest, DailyFileNameAndVersionHeader) {
    ASSERT_TRUE(OpenDaily());
    EXPECT_EQ(dir_ / "VexorUpdaterDec07.log", log_.CurrentFileName());
    EXPECT_TRUE(log_.Log(kLogTrace, "Checking %s\r\n", "oem.ini"));
    const auto lines = Lines(ReadFile(dir_ / "VexorUpdaterDec07.log"));
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("Product Version 6.1.2.1564", lines[0]);
    // "TTTTT HH:MM:SS.mmm text": the thread column is five digits at least.
    EXPECT_TRUE(lines[1].ends_with(" 10:30:15.000 Checking oem.ini\r")) << lines[1];
    EXPECT_GE(lines[1].find(' '), 5u);
}

TEST_F(TextLogTest, ReopeningAnExistingFileAppendsWithoutASecondHeader) {
    ASSERT_TRUE(OpenDaily());
    log_.Log(kLogTrace, "one\n");
    ASSERT_TRUE(OpenDaily());
    log_.Log(kLogTrace, "two\n");
    const auto lines = Lines(ReadFile(dir_ / "VexorUpdaterDec07.log"));
    ASSERT_EQ(3u, lines.size());
    EXPECT_TRUE(lines[2].ends_with(" two"));
}

TEST_F(TextLogTest, GivenDotLogSuffixIsTreatedAsTheStem) {
    ASSERT_TRUE(log_.Open(dir_ / "VexorUpdater.LOG", 7, 0, true, true, true));
    EXPECT_EQ(dir_ / "VexorUpdaterDec07.log", log_.CurrentFileName());
}

TEST_F(TextLogTest, WithoutRetentionOneFileWithoutDateTag) {
    ASSERT_TRUE(log_.Open(dir_ / "Trace", 0, 0, true, false, false));
    log_.Log(kLogTrace, "x\n");
    now_ = At(2026, 12, 9, 1, 0, 0);
    log_.Log(kLogTrace, "y\n");
    EXPECT_EQ("10:30:15.000 x\n01:00:00.000 y\n", ReadFile(dir_ / "Trace.log"));
}

TEST_F(TextLogTest, MidnightRollsOverAndExpiresOldFilesOfTheStem) {
    WriteFile(dir_ / "VexorUpdaterNov29.log", "old");
    WriteFile(dir_ / "VexorUpdaterDec01.log", "recent");
    WriteFile(dir_ / "OtherNov01.log", "other stem");
    SetModified(dir_ / "VexorUpdaterNov29.log", At(2026, 12, 1, 0, 0, 0));
    SetModified(dir_ / "VexorUpdaterDec01.log", At(2026, 12, 1, 0, 0, 1));
    SetModified(dir_ / "OtherNov01.log", At(2026, 11, 1, 0, 0, 0));
    now_ = At(2026, 12, 7, 23, 59, 59);
    ASSERT_TRUE(OpenDaily());
    EXPECT_TRUE(Exists(dir_ / "VexorUpdaterNov29.log"));  // not yet 7 days old: kept
    log_.Log(kLogTrace, "before midnight\n");

    now_ = At(2026, 12, 8, 0, 0, 1);
    log_.Log(kLogTrace, "after midnight\n");
    EXPECT_EQ(dir_ / "VexorUpdaterDec08.log", log_.CurrentFileName());
    EXPECT_FALSE(Exists(dir_ / "VexorUpdaterNov29.log"));
    EXPECT_TRUE(Exists(dir_ / "VexorUpdaterDec01.log"));
    EXPECT_TRUE(Exists(dir_ / "OtherNov01.log"));
    const auto yesterday = Lines(ReadFile(dir_ / "VexorUpdaterDec07.log"));
    const auto today = Lines(ReadFile(dir_ / "VexorUpdaterDec08.log"));
    ASSERT_EQ(2u, yesterday.size());
    ASSERT_EQ(2u, today.size());
    EXPECT_TRUE(today[1].ends_with("00:00:01.000 after midnight"));
}

TEST_F(TextLogTest, SameDateAYearLaterStartsAFreshFile) {
    ASSERT_TRUE(OpenDaily());
    log_.Log(kLogTrace, "2026\n");
    SetModified(dir_ / "VexorUpdaterDec07.log", now_.load());
    now_ = At(2027, 12, 7, 10, 0, 0);
    log_.Log(kLogTrace, "2027\n");
    const auto lines = Lines(ReadFile(dir_ / "VexorUpdaterDec07.log"));
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("Product Version 6.1.2.1564", lines[0]);
    EXPECT_TRUE(lines[1].ends_with(" 2027"));
}

TEST_F(TextLogTest, LevelMaskFiltersLines) {
    ASSERT_TRUE(OpenDaily());
    log_.SetLevelMask(kLogDefaultMask);
    log_.Log(kLogLoopError, "level one\n");
    log_.Log(kLogInformation, "level two\n");
    log_.Log(kLogEventMirror, "level eight\n");
    log_.Log(kLogTrace, "level minus one\n");
    const std::string text = ReadFile(dir_ / "VexorUpdaterDec07.log");
    EXPECT_EQ(std::string::npos, text.find("level one"));
    EXPECT_NE(std::string::npos, text.find("level two"));
    EXPECT_NE(std::string::npos, text.find("level eight"));
    EXPECT_NE(std::string::npos, text.find("level minus one"));
}

TEST_F(TextLogTest, MaskZeroWritesNothingEvenWithEcho) {
    ASSERT_TRUE(OpenDaily());
    log_.SetLevelMask(0);
    EXPECT_TRUE(log_.Log(kLogTrace, "dropped\n"));
    EXPECT_EQ("Product Version 6.1.2.1564\n", ReadFile(dir_ / "VexorUpdaterDec07.log"));

    log_.SetLevelMask(kLogInformation);
    log_.SetConsoleEcho(true);
    ::testing::internal::CaptureStdout();
    log_.Log(kLogLoopError, "echoed and filed\n");
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(out.ends_with(" echoed and filed\n")) << out;
    // With the echo on, every level reaches the file while the mask is not 0.
    EXPECT_NE(std::string::npos, ReadFile(dir_ / "VexorUpdaterDec07.log").find("echoed and filed"));
}

TEST_F(TextLogTest, NothingIsWrittenBeforeOpen) {
    // As root at start-up the working directory is "/": no "/.log" there.
    const std::filesystem::path old_cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
    log_.Log(kLogTrace, "too early\n");
    std::filesystem::current_path(old_cwd);
    EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

TEST_F(TextLogTest, LongMessagesAreCutAt2047BytesWithThePrefix) {
    ASSERT_TRUE(log_.Open(dir_ / "Cut", 0, 0, true, true, false));
    log_.Log(kLogTrace, "%s", std::string(3000, 'm').c_str());
    const std::string text = ReadFile(dir_ / "Cut.log");
    EXPECT_EQ(2047u, text.size());
    EXPECT_EQ('m', text.back());
}

TEST_F(TextLogTest, OpenFailureZeroesTheMaskAndKeepsTheReason) {
    WriteFile(dir_ / "file", "not a folder");
    EXPECT_FALSE(log_.Open(dir_ / "file/VexorUpdater", 7, 0, true, true, true));
    EXPECT_EQ(0, log_.LevelMask());
    EXPECT_EQ("Failed to open <" + dir_ / "file/VexorUpdaterDec07.log" +
                  "> - 3 - The system cannot find the path specified.\r\n",
              log_.OpenError());
    log_.SetLevelMask(kLogTrace);
    EXPECT_FALSE(log_.Log(kLogTrace, "nowhere\n"));
}

TEST_F(TextLogTest, SizeLimitContinuesInLetteredFiles) {
    ASSERT_TRUE(log_.Open(dir_ / "Big", 7, 100, true, false, false));
    for (int i = 0; i < 12; ++i) log_.Log(kLogTrace, "%s\n", std::string(20, 'a' + i).c_str());
    EXPECT_TRUE(Exists(dir_ / "BigDec07.log"));
    EXPECT_TRUE(Exists(dir_ / "BigDec07A.log"));
    struct stat info;
    ASSERT_EQ(0, ::stat((dir_ / "BigDec07.log").c_str(), &info));
    EXPECT_LE(info.st_size, 100 + 34);
}

TEST_F(TextLogTest, ConcurrentWritersNeverTearLines) {
    ASSERT_TRUE(OpenDaily());
    constexpr int kThreads = 8, kLines = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            const std::string body(60 + t * 10, static_cast<char>('A' + t));
            for (int i = 0; i < kLines; ++i) log_.Log(kLogTrace, "%d %s\n", t, body.c_str());
        });
    }
    for (auto& thread : threads) thread.join();

    const auto lines = Lines(ReadFile(dir_ / "VexorUpdaterDec07.log"));
    ASSERT_EQ(1u + kThreads * kLines, lines.size());
    std::map<int, int> per_thread;
    for (size_t i = 1; i < lines.size(); ++i) {
        // "TTTTT 10:30:15.000 t BODY"
        std::istringstream in(lines[i]);
        std::string tid, time, body;
        int t = -1;
        in >> tid >> time >> t >> body;
        ASSERT_TRUE(t >= 0 && t < kThreads) << lines[i];
        ASSERT_EQ(std::string(60 + t * 10, static_cast<char>('A' + t)), body) << lines[i];
        per_thread[t]++;
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(kLines, per_thread[t]);
}

}  // namespace
}  // namespace TesselSoftware
