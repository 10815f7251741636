#include "Common/Text/PercentEncoding.h"

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
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
            HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
            *decoded = true;
        } else {
            out += text[i];
        }
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
