#include "dat/CatalogueText.h"

#include <climits>

namespace TesselSoftware {

std::optional<int64_t> ParseLeadingInteger(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > int64_t{INT32_MAX} + 1) return std::nullopt;
    }
    if (negative) value = -value;
    if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
    return value;
}

std::optional<uint32_t> ListedVersion(const std::string& name) {
    static constexpr size_t kPrefixLength = 7;  // "avvdat-"
    if (name.size() <= kPrefixLength) return std::nullopt;
    std::string rest = name.substr(kPrefixLength);
    const size_t cut = rest.find(".zip") != std::string::npos ? rest.find('.') : rest.find('-');
    if (cut != std::string::npos) rest.resize(cut);
    size_t i = rest.size() > 0 && rest[0] == '+' ? 1 : 0;
    if (i >= rest.size()) return std::nullopt;
    uint64_t value = 0;
    for (; i < rest.size(); ++i) {
        if (rest[i] < '0' || rest[i] > '9') return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(rest[i] - '0');
        if (value > INT32_MAX) return std::nullopt;
    }
    if (value == 0) return std::nullopt;
    return static_cast<uint32_t>(value);
}

bool IsPlainFileName(const std::string& name) {
    if (name.empty() || name == "." || name[0] == '~' || name.find("..") != std::string::npos) {
        return false;
    }
    for (const char c : name) {
        // Separators, the quote of a command line, and control characters.
        if (c == '/' || c == '\\' || c == '"' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            return false;
        }
    }
    return true;
}

}  // namespace TesselSoftware
