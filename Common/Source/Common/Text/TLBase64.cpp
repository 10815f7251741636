#include "Common/Text/TLBase64.h"

#include <cstdint>

namespace TesselSoftware {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int DigitValue(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::string CTLBase64::Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t group = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) |
                               uint8_t(bytes[i + 2]);
        out += kAlphabet[group >> 18];
        out += kAlphabet[(group >> 12) & 63];
        out += kAlphabet[(group >> 6) & 63];
        out += kAlphabet[group & 63];
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t group = uint8_t(bytes[i]) << 16;
        if (rest == 2) group |= uint8_t(bytes[i + 1]) << 8;
        out += kAlphabet[group >> 18];
        out += kAlphabet[(group >> 12) & 63];
        out += rest == 2 ? kAlphabet[(group >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string CTLBase64::Decode(std::string_view text, size_t max_bytes) {
    std::string out;
    uint32_t group = 0;
    int digits = 0;
    const auto flush = [&] {
        // 2 digits carry 1 byte, 3 carry 2, 4 carry 3.
        for (int k = 0; k < digits - 1 && out.size() < max_bytes; ++k) {
            out += static_cast<char>((group >> (16 - 8 * k)) & 0xFF);
        }
        group = 0;
        digits = 0;
    };
    for (char c : text) {
        if (out.size() >= max_bytes) break;
        if (c == '=') {
            if (digits > 0) {
                group <<= 6 * (4 - digits);
                flush();
            }
            continue;
        }
        const int value = DigitValue(c);
        if (value < 0) continue;  // spaces, line breaks and strays are skipped
        group = (group << 6) | static_cast<uint32_t>(value);
        if (++digits == 4) flush();
    }
    if (digits > 0) {
        group <<= 6 * (4 - digits);
        flush();
    }
    return out;
}

}  // namespace TesselSoftware
