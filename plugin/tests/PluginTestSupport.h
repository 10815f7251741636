// Helpers for the plug-in's tests: one scratch system root for the whole
// test program (the plug-in opens its registry lock once per process), DAT
// sets built with the engine's own format code, and a recording logger.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "TSVexor/Scanner.h"

namespace TesselSoftware::Testing {

// The system root all tests of the program share.
const std::string& PluginTestRoot();

// Signatures of the test sets: "Test.Alpha" (repair) and "Test.Beta"
// (delete), plus "Test.New" only from version 2 on.
inline constexpr char kAlphaMarker[] = "ALPHA-TEST-VIRUS-MARKER";
inline constexpr char kBetaMarker[] = "BETA-TEST-VIRUS-MARKER";
inline constexpr char kNewMarker[] = "NEWLY-ADDED-TEST-VIRUS-MARKER";

// Writes a DAT set of version into folder, dated today (local time) unless
// a packed DOS date is given. Returns the folder.
std::string WriteTestDatSet(const std::string& folder, uint32_t version, uint16_t dos_date = 0);
uint16_t DosDateDaysAgo(int days);

// Writes DATPath/DATVersion (under the registry lock) and EnginePath/EngineHash.
void ConfigureDat(const std::string& path, uint32_t version);
void ConfigureEngine(const std::string& folder, const std::string& hash);
void ClearProductKey();

class RecordingLogger : public IScannerLogger {
public:
    explicit RecordingLogger(uint32_t version = kScannerInterfaceVersion) : version_(version) {}
    uint32_t GetInterfaceVersion() override { return version_; }
    void Log(int32_t level, const char* format, ...) override {
        char text[4096];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        std::lock_guard lock(mutex_);
        lines_.push_back(std::to_string(level) + " " + text);
    }
    std::vector<std::string> Lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool Contains(const std::string& text) {
        for (const std::string& line : Lines()) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }

private:
    uint32_t version_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A text slot that frees its string.
struct OwnedText : ScannerText {
    OwnedText() : ScannerText{0, nullptr} {}
    ~OwnedText();
    OwnedText(const OwnedText&) = delete;
    OwnedText& operator=(const OwnedText&) = delete;
    std::string str() const { return text ? text : ""; }
};

struct OwnedInfo : ScannerInfo {
    OwnedInfo() : ScannerInfo{} {}
    ~OwnedInfo();
    OwnedInfo(const OwnedInfo&) = delete;
    OwnedInfo& operator=(const OwnedInfo&) = delete;
};

}  // namespace TesselSoftware::Testing
