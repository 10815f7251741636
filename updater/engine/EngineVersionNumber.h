// Engine versions a.b.c.d, as engine releases and file version notes give
// them: parsed strictly, compared numerically (6.0.10.1 is newer than
// 6.0.9.999), written without leading zeros.
#pragma once

#include <compare>
#include <cstdint>
#include <string>

namespace TesselSoftware {

struct EngineVersionNumber {
    std::string text;  // "%d.%d.%d.%d", or "" when nothing parsed
    int32_t major = 0;
    int32_t minor = 0;
    int32_t build = 0;
    int32_t revision = 0;

    auto operator<=>(const EngineVersionNumber& other) const {
        if (auto c = major <=> other.major; c != 0) return c;
        if (auto c = minor <=> other.minor; c != 0) return c;
        if (auto c = build <=> other.build; c != 0) return c;
        return revision <=> other.revision;
    }
    bool operator==(const EngineVersionNumber& other) const { return (*this <=> other) == 0; }
};

// Exactly four parts of 1 to 9 decimal digits separated by "."; text after
// a "." ending the fourth part is ignored. False leaves *version all 0 and
// its text empty.
bool ParseEngineVersion(const std::string& text, EngineVersionNumber* version);

}  // namespace TesselSoftware
