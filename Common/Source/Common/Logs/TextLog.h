// CTextLog: the service's daily plain-text trace file.
//
//   CTextLog& log = ServiceTextLog();
//   log.Open("/var/log/vexor/VexorUpdater", 7, 0, true, true, true);
//   log.SetLevelMask(flags);
//   log.Log(kLogTrace, "%s\r\n", "Checking for updates");
//
// Writes <stem><Mon><DD>.log (for example VexorUpdaterDec07.log), one file per
// local day, deleting files of the same stem older than the retention days.
// Lines start with "TTTTT HH:MM:SS.mmm " (thread id, local time) and are
// written byte for byte. Safe for concurrent use: formatting happens outside
// the lock; opening, rollover, echo and writing happen under it, so lines
// never interleave.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "Common/Logging.h"

namespace TesselSoftware {

class CTextLog : public ILogging {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;

    // The longest line written, prefix included; longer ones are cut.
    static constexpr size_t kMaxLineBytes = 2047;

    CTextLog(int major, int minor, int build, int revision);
    ~CTextLog() override;

    // Closes any open file, stores the settings and opens today's file.
    // base_path is folder + file stem (a trailing ".log", any case, is
    // dropped). retention_days > 0 gives daily files deleted after that many
    // days; 0 or less gives one file kept for ever. size_limit > 0 continues
    // a day's log in files with letter suffixes (Dec07A.log, ...) once the
    // current one has grown past it. On failure sets the level mask to 0,
    // keeps the reason in OpenError() and returns false.
    bool Open(const std::string& base_path, int retention_days, uint32_t size_limit,
              bool use_lock, bool thread_column, bool version_header);
    void Close();

    void SetConsoleEcho(bool echo);
    // Levels written to the file; 0 means no file output at all.
    void SetLevelMask(int32_t mask);
    int32_t LevelMask() const;

    // Writes one line when the console echo is on or the level shares a bit
    // with the mask. False only when a needed file could not be opened.
    bool LogV(int32_t level, const char* format, va_list args) override
        __attribute__((format(printf, 3, 0)));

    std::string OpenError() const;
    // Full name of the file currently open, or "" when none is.
    std::string CurrentFileName() const;
    const std::string& ProductVersion() const { return product_version_; }

    // Replaces the wall clock (tests cross midnight without waiting).
    void SetClockForTesting(Clock clock);

private:
    // REQUIRES: mutex_ held (or the lock switched off). Opens, rolls over and
    // expires files as needed; false when no file is open afterwards.
    bool EnsureFileOpen(std::chrono::system_clock::time_point now);
    void DeleteExpiredFiles(std::chrono::system_clock::time_point now);
    void CloseFile();

    const std::string product_version_;  // constant after construction

    mutable std::mutex mutex_;
    Clock clock_;
    std::string base_path_;
    std::string date_tag_;
    int retention_days_ = 0;
    uint32_t size_limit_ = 0;
    int suffix_index_ = 0;  // 0 = no suffix, 1 = "A", ...
    std::atomic<bool> console_echo_{false};
    std::atomic<int32_t> level_mask_{kLogDefaultMask};
    bool use_lock_ = true;
    bool thread_column_ = true;
    bool version_header_ = true;
    int day_stamp_ = -1;  // year * 1000 + day of year of the open file
    std::string open_error_;
    std::string file_name_;
    std::FILE* file_ = nullptr;
};

// The service's process-wide log (version 6.1.2.1564), created on first use
// and closed at process exit.
CTextLog& ServiceTextLog();

}  // namespace TesselSoftware
