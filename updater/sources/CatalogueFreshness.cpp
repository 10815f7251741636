#include "sources/CatalogueFreshness.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <sstream>
#include <vector>

#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"

namespace TesselSoftware {

namespace {

// One line per catalogue: "<kind>\t<name>\t<newest signing time accepted>".
constexpr char kValueName[] = "SignedCatalogueTimes";
// Far more names than the two kinds' catalogues: a bound on the value.
constexpr size_t kMaxEntries = 32;

struct Entry {
    std::string kind;
    std::string name;
    int64_t signed_at = 0;
};

const char* KindText(CatalogueKind kind) { return kind == CatalogueKind::kDat ? "dat" : "engine"; }

std::vector<Entry> ReadEntries() {
    std::vector<Entry> entries;
    RegistryKey key;
    try {
        key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyRead);
    } catch (const ExceptionBase&) {
        return entries;  // no product key yet: nothing accepted either
    }
    std::string text;
    key.ReadString(kValueName, "", &text);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line) && entries.size() < kMaxEntries;) {
        const size_t first = line.find('\t');
        const size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
        if (second == std::string::npos) continue;
        const std::string number = line.substr(second + 1);
        if (number.empty() || number.size() > 12 ||
            !std::all_of(number.begin(), number.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) {
            continue;
        }
        entries.push_back({line.substr(0, first), line.substr(first + 1, second - first - 1), std::stoll(number)});
    }
    return entries;
}

int64_t AcceptedFor(CatalogueKind kind, const std::string& name) {
    for (const Entry& entry : ReadEntries()) {
        if (entry.kind == KindText(kind) && entry.name == name) return entry.signed_at;
    }
    return 0;
}

// "2026-12-16 00:00 UTC"
std::string TimeText(int64_t seconds) {
    const time_t when = static_cast<time_t>(seconds);
    struct tm parts {};
    gmtime_r(&when, &parts);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts);
    return text;
}

}  // namespace

std::string CatalogueRefusal(CatalogueKind kind, const std::string& name, const Minisign::SignedTimes& times,
                             int64_t now) {
    const std::string catalogue = "The signed catalogue '" + name + "'";
    if (times.expires_at != 0 && now >= times.expires_at) {
        return catalogue + " expired on " + TimeText(times.expires_at) +
               ": the update site, or a mirror in front of it, is stale";
    }
    if (times.signed_at > now + kSignedClockSkewSeconds) {
        return catalogue + " was signed on " + TimeText(times.signed_at) +
               ", more than 5 minutes ahead of this machine's clock (" + TimeText(now) +
               "): the clock is behind, or the site's times are wrong";
    }
    const int64_t accepted = AcceptedFor(kind, name);
    if (accepted != 0 && times.signed_at == 0) {
        return catalogue + " carries no signing time, but one signed on " + TimeText(accepted) +
               " was already accepted: a stale or replayed copy";
    }
    if (times.signed_at < accepted) {
        return catalogue + " was signed before one already accepted (" + TimeText(accepted) + ", this copy " +
               TimeText(times.signed_at) + "): a stale or replayed copy";
    }
    return "";
}

void RecordAcceptedCatalogue(CatalogueKind kind, const std::string& name, const Minisign::SignedTimes& times) {
    if (times.signed_at == 0) return;
    std::vector<Entry> entries = ReadEntries();
    const auto same = [&](const Entry& entry) { return entry.kind == KindText(kind) && entry.name == name; };
    const auto found = std::find_if(entries.begin(), entries.end(), same);
    if (found != entries.end() && found->signed_at >= times.signed_at) return;
    // Names are the local file names of catalogues (no tab or line break).
    if (name.find_first_of("\t\r\n") != std::string::npos) return;
    if (found != entries.end()) {
        found->signed_at = times.signed_at;
    } else if (entries.size() < kMaxEntries) {
        entries.push_back({KindText(kind), name, times.signed_at});
    }
    std::string text;
    for (const Entry& entry : entries) {
        text += entry.kind + "\t" + entry.name + "\t" + std::to_string(entry.signed_at) + "\n";
    }
    RegistryKey key;
    key.Create(RegistryRoot::kLocalMachine, kProductKeyPath);
    key.WriteString(kValueName, text);
}

int64_t NewestSignedCatalogue(CatalogueKind kind) {
    int64_t newest = 0;
    for (const Entry& entry : ReadEntries()) {
        if (entry.kind == KindText(kind)) newest = std::max(newest, entry.signed_at);
    }
    return newest;
}

}  // namespace TesselSoftware
