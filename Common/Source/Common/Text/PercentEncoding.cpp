#include "Common/Text/PercentEncoding.h"

#include <algorithm>

namespace TesselSoftware {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One left-to-right pass; *decoded tells whether any escape was decoded.
std::string DecodeOnce(const std::string& text, bool* decoded) {
    std::string out;
    out.reserve(text.size());
    *decoded = false;
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        const bool first_hex = i + 1 < n && HexValue(text[i + 1]) >= 0;
        if (first_hex && i + 2 < n && HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
            *decoded = true;
            continue;
        }
        // A malformed sequence is copied whole and scanning goes on after
        // it: "%" with a non-hex character, "%" with one hex digit and a
        // non-hex character, or "%" running into the end of the text.
        const size_t length = first_hex ? 3 : 2;
        const size_t end = std::min(n, i + length);
        out.append(text, i, end - i);
        i = end - 1;
    }
    return out;
}

}  // namespace

std::string PercentDecode(const std::string& text) {
    std::string current = text;
    for (bool decoded = true; decoded;) current = DecodeOnce(current, &decoded);
    return current;
}

std::string PercentEncode(const std::string& text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
            (byte >= 'a' && byte <= 'z') || byte == '-' || byte == '.' || byte == '_' ||
            byte == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

}  // namespace TesselSoftware
