#include "sources/SiteCoolDown.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <sstream>
#include <vector>

#include "Common/Clock.h"
#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"

namespace TesselSoftware {

namespace {

// One line per site: "<not before>\t<address>\t<reason>".
constexpr char kValueName[] = "SiteCoolDowns";
// More sites than a machine has sources: a bound on what the value holds.
constexpr size_t kMaxEntries = 16;

struct Entry {
    int64_t not_before = 0;
    std::string site;
    std::string reason;
};

std::vector<Entry> ReadEntries() {
    std::vector<Entry> entries;
    RegistryKey key;
    try {
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
    } catch (const ExceptionBase&) {
        return entries;  // no product key yet: no cool-down either
    }
    std::string text;
    key.ReadString(kValueName, "", &text);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line) && entries.size() < kMaxEntries;) {
        const size_t first = line.find('\t');
        const size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
        if (second == std::string::npos || first == 0 || first > 12) continue;
        const std::string number = line.substr(0, first);
        if (!std::all_of(number.begin(), number.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) continue;
        entries.push_back({std::stoll(number), line.substr(first + 1, second - first - 1), line.substr(second + 1)});
    }
    return entries;
}

// Keeps tabs and line breaks out of a field, so the lines stay lines.
std::string Field(std::string text) {
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
    return text;
}

}  // namespace

int64_t RetryAfterSeconds(int32_t status_code, const std::string& header, int64_t now) {
    if (status_code != 429 && status_code != 503) return 0;
    std::string value = header;
    value.erase(0, value.find_first_not_of(" \t"));
    value.erase(value.find_last_not_of(" \t\r\n") + 1);
    int64_t seconds = -1;
    if (!value.empty() && std::all_of(value.begin(), value.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) {
        // Any number of digits: more than a day's worth is a day.
        seconds = value.size() > 6 ? kMaxSiteCoolDownSeconds : std::stoll(value);
    } else if (!value.empty()) {
        const time_t when = curl_getdate(value.c_str(), nullptr);
        if (when != -1) seconds = std::max<int64_t>(static_cast<int64_t>(when) - now, 0);
    }
    if (seconds < 0) return status_code == 429 ? kDefaultTooManyRequestsSeconds : 0;
    return std::min(seconds, kMaxSiteCoolDownSeconds);
}

std::optional<SiteCoolDown> FindSiteCoolDown(const std::string& site, int64_t now) {
    for (const Entry& entry : ReadEntries()) {
        // A time beyond the cap was not written by this program: it is
        // held to the cap from now, never longer.
        if (entry.site == site && entry.not_before > now) {
            return SiteCoolDown{std::min(entry.not_before, now + kMaxSiteCoolDownSeconds), entry.reason};
        }
    }
    return std::nullopt;
}

void RecordSiteCoolDown(const std::string& site, int64_t not_before, const std::string& reason) {
    const int64_t now = ServiceClock().Now();
    std::string text = std::to_string(not_before) + "\t" + Field(site) + "\t" + Field(reason) + "\n";
    size_t kept = 1;
    for (const Entry& entry : ReadEntries()) {
        if (entry.site == site || entry.not_before <= now || kept == kMaxEntries) continue;
        text += std::to_string(entry.not_before) + "\t" + entry.site + "\t" + entry.reason + "\n";
        ++kept;
    }
    RegistryKey key;
    key.Create(RegistryRoot::kLocalMachine, kProductKeyPath);
    key.WriteString(kValueName, text);
}

std::string CoolDownTimeText(int64_t seconds) {
    const time_t when = static_cast<time_t>(seconds);
    struct tm parts {};
    gmtime_r(&when, &parts);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

}  // namespace TesselSoftware
