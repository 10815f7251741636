#include "Common/Text/TextConversion.h"

#include <cstdint>

namespace TesselSoftware {

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

// Decodes one code point starting at text[i], advancing i. Returns false on
// any ill-formed sequence (RFC 3629: no overlongs, no surrogates, <= U+10FFFF).
bool DecodeUtf8(std::string_view text, size_t& i, char32_t& out) {
    const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    const uint8_t lead = byte(i);
    if (lead < 0x80) {
        out = lead;
        ++i;
        return true;
    }
    size_t length;
    char32_t min;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        out = lead & 0x1F;
        min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        out = lead & 0x0F;
        min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        out = lead & 0x07;
        min = 0x10000;
    } else {
        return false;
    }
    if (i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
        const uint8_t next = byte(i + k);
        if ((next & 0xC0) != 0x80) return false;
        out = (out << 6) | (next & 0x3F);
    }
    if (out < min || out > 0x10FFFF || (out >= 0xD800 && out <= 0xDFFF)) return false;
    i += length;
    return true;
}

void EncodeUtf8(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Both directions, strict (nullopt at the first invalid piece) or lossy
// (U+FFFD in its place).
std::optional<std::string> ConvertWide(std::u16string_view wide, bool lossy) {
    std::string out;
    out.reserve(wide.size());
    for (size_t i = 0; i < wide.size(); ++i) {
        char32_t unit = wide[i];
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        const bool paired = high && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF;
        if (paired) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (wide[i + 1] - 0xDC00);
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            if (!lossy) return std::nullopt;
            unit = kReplacementCharacter;
        }
        EncodeUtf8(unit, out);
    }
    return out;
}

std::optional<std::u16string> ConvertNarrow(std::string_view narrow, bool lossy) {
    std::u16string out;
    out.reserve(narrow.size());
    size_t i = 0;
    while (i < narrow.size()) {
        char32_t cp;
        if (!DecodeUtf8(narrow, i, cp)) {
            if (!lossy) return std::nullopt;
            cp = kReplacementCharacter;
            ++i;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

}  // namespace

std::optional<std::string> TryWideToNarrow(std::u16string_view wide) { return ConvertWide(wide, false); }

std::optional<std::u16string> TryNarrowToWide(std::string_view narrow) { return ConvertNarrow(narrow, false); }

std::string WideToNarrow(std::u16string_view wide) { return *ConvertWide(wide, true); }

std::u16string NarrowToWide(std::string_view narrow) { return *ConvertNarrow(narrow, true); }

bool IsValidUtf8(std::string_view text) {
    size_t i = 0;
    char32_t cp;
    while (i < text.size()) {
        if (!DecodeUtf8(text, i, cp)) return false;
    }
    return true;
}

}  // namespace TesselSoftware
