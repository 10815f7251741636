#include "Common/Logs/TextLog.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "Common/Errors/ErrorText.h"
#include "Common/Errors/Win32Error.h"
#include "Common/Files/FileSystemUtils.h"

namespace TesselSoftware {

namespace {

constexpr char kLogExtension[] = ".log";

bool EndsWithLogExtension(std::string_view name) {
    return name.size() >= 4 && strncasecmp(name.data() + name.size() - 4, kLogExtension, 4) == 0;
}

struct tm LocalTime(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    struct tm local {};
    localtime_r(&seconds, &local);
    return local;
}

// "%b%d" in the C locale, whatever the process locale is.
std::string DateTag(const struct tm& local) {
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char tag[16];
    std::snprintf(tag, sizeof tag, "%s%02d", kMonths[local.tm_mon % 12], local.tm_mday);
    return tag;
}

std::string SuffixLetters(int index) {
    std::string letters;
    while (index > 0) {
        --index;
        letters.insert(letters.begin(), static_cast<char>('A' + index % 26));
        index /= 26;
    }
    return letters;
}

}  // namespace

CTextLog::CTextLog(int major, int minor, int build, int revision)
    : product_version_(std::to_string(major) + "." + std::to_string(minor) + "." +
                       std::to_string(build) + "." + std::to_string(revision)),
      clock_([] { return std::chrono::system_clock::now(); }) {}

CTextLog::~CTextLog() { CloseFile(); }

bool CTextLog::Open(const std::string& base_path, int retention_days, uint32_t size_limit,
                    bool use_lock, bool thread_column, bool version_header) {
    std::lock_guard lock(mutex_);
    CloseFile();
    base_path_ = base_path;
    if (EndsWithLogExtension(base_path_)) base_path_.resize(base_path_.size() - 4);
    retention_days_ = retention_days;
    size_limit_ = size_limit;
    use_lock_ = use_lock;
    thread_column_ = thread_column;
    version_header_ = version_header;
    date_tag_.clear();
    if (!EnsureFileOpen(clock_())) {
        level_mask_ = 0;
        return false;
    }
    return true;
}

void CTextLog::Close() {
    std::lock_guard lock(mutex_);
    CloseFile();
}

void CTextLog::CloseFile() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    file_name_.clear();
    day_stamp_ = -1;
}

void CTextLog::SetConsoleEcho(bool echo) { console_echo_ = echo; }
void CTextLog::SetLevelMask(int32_t mask) { level_mask_ = mask; }
int32_t CTextLog::LevelMask() const { return level_mask_; }

std::string CTextLog::OpenError() const {
    std::lock_guard lock(mutex_);
    return open_error_;
}

std::string CTextLog::CurrentFileName() const {
    std::lock_guard lock(mutex_);
    return file_name_;
}

void CTextLog::SetClockForTesting(Clock clock) {
    std::lock_guard lock(mutex_);
    clock_ = std::move(clock);
}

bool CTextLog::EnsureFileOpen(std::chrono::system_clock::time_point now) {
    // Never opened: there is no file to write, and no name to invent one
    // from (it would land in the working directory).
    if (base_path_.empty()) return false;
    const struct tm local = LocalTime(now);
    const int day_stamp = (local.tm_year + 1900) * 1000 + local.tm_yday;
    if (file_ != nullptr && (retention_days_ <= 0 || day_stamp == day_stamp_)) {
        if (size_limit_ == 0 || std::ftell(file_) <= static_cast<long>(size_limit_)) return true;
        ++suffix_index_;  // this part of the day is full: continue in the next
    } else {
        suffix_index_ = 0;
    }
    CloseFile();
    if (retention_days_ > 0) DeleteExpiredFiles(now);
    date_tag_ = retention_days_ > 0 ? DateTag(local) : std::string();

    for (;;) {
        const std::string name =
            base_path_ + date_tag_ + SuffixLetters(suffix_index_) + kLogExtension;
        file_ = std::fopen(name.c_str(), "ab");
        if (file_ == nullptr) {
            open_error_ = "Failed to open <" + name + "> - " +
                          FormatErrorText(SetLastErrorFromErrno(), kErrorTextAuto);
            return false;
        }
        std::fseek(file_, 0, SEEK_END);
        const long size = std::ftell(file_);
        if (size_limit_ != 0 && size > static_cast<long>(size_limit_) && suffix_index_ < 26 * 27) {
            std::fclose(file_);
            file_ = nullptr;
            ++suffix_index_;
            continue;
        }
        file_name_ = name;
        day_stamp_ = day_stamp;
        if (version_header_ && size == 0) {
            std::fprintf(file_, "Product Version %s\n", product_version_.c_str());
            std::fflush(file_);
        }
        return true;
    }
}

void CTextLog::DeleteExpiredFiles(std::chrono::system_clock::time_point now) {
    std::string folder = ParentPath(base_path_);
    const std::string stem(FileNamePart(base_path_));
    if (folder.empty()) folder.assign(1, base_path_.rfind('/', 0) == 0 ? '/' : '.');
    struct DirCloser {
        void operator()(DIR* dir) const { ::closedir(dir); }
    };
    std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
    if (!dir) return;
    const std::time_t cutoff =
        std::chrono::system_clock::to_time_t(now) - static_cast<std::time_t>(retention_days_) * 86400;
    std::vector<std::string> expired;
    while (struct dirent* entry = ::readdir(dir.get())) {
        const std::string_view name = entry->d_name;
        if (name.size() < stem.size() || name.substr(0, stem.size()) != stem) continue;
        if (!EndsWithLogExtension(name)) continue;
        const std::string full = folder + "/" + std::string(name);
        struct stat info;
        if (::lstat(full.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        if (info.st_mtime < cutoff) expired.push_back(full);
    }
    for (const std::string& full : expired) ::unlink(full.c_str());
}

bool CTextLog::LogV(int32_t level, const char* format, va_list args) {
    const bool echo = console_echo_;
    const int32_t mask = level_mask_;
    if (!echo && (level & mask) == 0) return true;

    // Formatting happens outside the lock; the clock is read under it only
    // to keep tests' clock swaps race-free.
    std::chrono::system_clock::time_point now;
    {
        std::lock_guard lock(mutex_);
        now = clock_();
    }
    const struct tm local = LocalTime(now);
    const int millis = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    char line[kMaxLineBytes + 1];
    int used;
    if (thread_column_) {
        used = std::snprintf(line, sizeof line, "%05d %02d:%02d:%02d.%03d ",
                             static_cast<int>(::gettid()), local.tm_hour, local.tm_min,
                             local.tm_sec, millis);
    } else {
        used = std::snprintf(line, sizeof line, "%02d:%02d:%02d.%03d ", local.tm_hour,
                             local.tm_min, local.tm_sec, millis);
    }
    size_t length = static_cast<size_t>(used);
    const int added = std::vsnprintf(line + length, sizeof line - length, format, args);
    if (added > 0) length = std::min(kMaxLineBytes, length + static_cast<size_t>(added));

    std::unique_lock lock(mutex_, std::defer_lock);
    if (use_lock_) lock.lock();
    if (echo) {
        std::fwrite(line, 1, length, stdout);
        std::fflush(stdout);
    }
    if (mask != 0 && (echo || (level & mask) != 0)) {
        if (!EnsureFileOpen(now)) return false;
        std::fwrite(line, 1, length, file_);
        std::fflush(file_);
    }
    return true;
}

CTextLog& ServiceTextLog() {
    static CTextLog log(6, 1, 2, 1564);
    return log;
}

}  // namespace TesselSoftware
