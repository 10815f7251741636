#include "Common/Text/Md5.h"

#include <cstring>

namespace TesselSoftware {

namespace {

constexpr uint32_t kSines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

inline uint32_t RotateLeft(uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

}  // namespace

Md5::Md5() : state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476} {}

// The 64 steps written out: the round functions and message indices become
// constants, which keeps the digest as fast as the system's md5sum.
#define VEXOR_MD5_STEP(f, a, b, c, d, k, s, t) \
    a += f(b, c, d) + m[k] + t;               \
    a = RotateLeft(a, s) + b

#define VEXOR_MD5_F(x, y, z) (z ^ (x & (y ^ z)))
#define VEXOR_MD5_G(x, y, z) (y ^ (z & (x ^ y)))
#define VEXOR_MD5_H(x, y, z) (x ^ y ^ z)
#define VEXOR_MD5_I(x, y, z) (y ^ (x | ~z))

void Md5::Transform(const uint8_t block[64]) {
    uint32_t m[16];
    for (int i = 0; i < 16; ++i) {
        m[i] = uint32_t{block[4 * i]} | (uint32_t{block[4 * i + 1]} << 8) |
               (uint32_t{block[4 * i + 2]} << 16) | (uint32_t{block[4 * i + 3]} << 24);
    }
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    const uint32_t* t = kSines;
    VEXOR_MD5_STEP(VEXOR_MD5_F, a, b, c, d, 0, 7, t[0]);
    VEXOR_MD5_STEP(VEXOR_MD5_F, d, a, b, c, 1, 12, t[1]);
    VEXOR_MD5_STEP(VEXOR_MD5_F, c, d, a, b, 2, 17, t[2]);
    VEXOR_MD5_STEP(VEXOR_MD5_F, b, c, d, a, 3, 22, t[3]);
    VEXOR_MD5_STEP(VEXOR_MD5_F, a, b, c, d, 4, 7, t[4]);
    VEXOR_MD5_STEP(VEXOR_MD5_F, d, a, b, c, 5, 12, t[5]);
    VEXOR_MD5_STEP(VEXOR_MD5_F, c, d, a, b, 6, 17, t[6]);
    VEXOR_MD5_STEP(VEXOR_MD5_F, b, c, d, a, 7, 22, t[7]);
    VEXOR_MD5_STEP(VEXOR_MD5_F, a, b, c, d, 8, 7, t[8]);
    VEXOR_MD5_STEP(VEXOR_MD5_F, d, a, b, c, 9, 12, t[9]);
    VEXOR_MD5_STEP(VEXOR_MD5_F, c, d, a, b, 10, 17, t[10]);
    VEXOR_MD5_STEP(VEXOR_MD5_F, b, c, d, a, 11, 22, t[11]);
    VEXOR_MD5_STEP(VEXOR_MD5_F, a, b, c, d, 12, 7, t[12]);
    VEXOR_MD5_STEP(VEXOR_MD5_F, d, a, b, c, 13, 12, t[13]);
    VEXOR_MD5_STEP(VEXOR_MD5_F, c, d, a, b, 14, 17, t[14]);
    VEXOR_MD5_STEP(VEXOR_MD5_F, b, c, d, a, 15, 22, t[15]);
    VEXOR_MD5_STEP(VEXOR_MD5_G, a, b, c, d, 1, 5, t[16]);
    VEXOR_MD5_STEP(VEXOR_MD5_G, d, a, b, c, 6, 9, t[17]);
    VEXOR_MD5_STEP(VEXOR_MD5_G, c, d, a, b, 11, 14, t[18]);
    VEXOR_MD5_STEP(VEXOR_MD5_G, b, c, d, a, 0, 20, t[19]);
    VEXOR_MD5_STEP(VEXOR_MD5_G, a, b, c, d, 5, 5, t[20]);
    VEXOR_MD5_STEP(VEXOR_MD5_G, d, a, b, c, 10, 9, t[21]);
    VEXOR_MD5_STEP(VEXOR_MD5_G, c, d, a, b, 15, 14, t[22]);
    VEXOR_MD5_STEP(VEXOR_MD5_G, b, c, d, a, 4, 20, t[23]);
    VEXOR_MD5_STEP(VEXOR_MD5_G, a, b, c, d, 9, 5, t[24]);
    VEXOR_MD5_STEP(VEXOR_MD5_G, d, a, b, c, 14, 9, t[25]);
    VEXOR_MD5_STEP(VEXOR_MD5_G, c, d, a, b, 3, 14, t[26]);
    VEXOR_MD5_STEP(VEXOR_MD5_G, b, c, d, a, 8, 20, t[27]);
    VEXOR_MD5_STEP(VEXOR_MD5_G, a, b, c, d, 13, 5, t[28]);
    VEXOR_MD5_STEP(VEXOR_MD5_G, d, a, b, c, 2, 9, t[29]);
    VEXOR_MD5_STEP(VEXOR_MD5_G, c, d, a, b, 7, 14, t[30]);
    VEXOR_MD5_STEP(VEXOR_MD5_G, b, c, d, a, 12, 20, t[31]);
    VEXOR_MD5_STEP(VEXOR_MD5_H, a, b, c, d, 5, 4, t[32]);
    VEXOR_MD5_STEP(VEXOR_MD5_H, d, a, b, c, 8, 11, t[33]);
    VEXOR_MD5_STEP(VEXOR_MD5_H, c, d, a, b, 11, 16, t[34]);
    VEXOR_MD5_STEP(VEXOR_MD5_H, b, c, d, a, 14, 23, t[35]);
    VEXOR_MD5_STEP(VEXOR_MD5_H, a, b, c, d, 1, 4, t[36]);
    VEXOR_MD5_STEP(VEXOR_MD5_H, d, a, b, c, 4, 11, t[37]);
    VEXOR_MD5_STEP(VEXOR_MD5_H, c, d, a, b, 7, 16, t[38]);
    VEXOR_MD5_STEP(VEXOR_MD5_H, b, c, d, a, 10, 23, t[39]);
    VEXOR_MD5_STEP(VEXOR_MD5_H, a, b, c, d, 13, 4, t[40]);
    VEXOR_MD5_STEP(VEXOR_MD5_H, d, a, b, c, 0, 11, t[41]);
    VEXOR_MD5_STEP(VEXOR_MD5_H, c, d, a, b, 3, 16, t[42]);
    VEXOR_MD5_STEP(VEXOR_MD5_H, b, c, d, a, 6, 23, t[43]);
    VEXOR_MD5_STEP(VEXOR_MD5_H, a, b, c, d, 9, 4, t[44]);
    VEXOR_MD5_STEP(VEXOR_MD5_H, d, a, b, c, 12, 11, t[45]);
    VEXOR_MD5_STEP(VEXOR_MD5_H, c, d, a, b, 15, 16, t[46]);
    VEXOR_MD5_STEP(VEXOR_MD5_H, b, c, d, a, 2, 23, t[47]);
    VEXOR_MD5_STEP(VEXOR_MD5_I, a, b, c, d, 0, 6, t[48]);
    VEXOR_MD5_STEP(VEXOR_MD5_I, d, a, b, c, 7, 10, t[49]);
    VEXOR_MD5_STEP(VEXOR_MD5_I, c, d, a, b, 14, 15, t[50]);
    VEXOR_MD5_STEP(VEXOR_MD5_I, b, c, d, a, 5, 21, t[51]);
    VEXOR_MD5_STEP(VEXOR_MD5_I, a, b, c, d, 12, 6, t[52]);
    VEXOR_MD5_STEP(VEXOR_MD5_I, d, a, b, c, 3, 10, t[53]);
    VEXOR_MD5_STEP(VEXOR_MD5_I, c, d, a, b, 10, 15, t[54]);
    VEXOR_MD5_STEP(VEXOR_MD5_I, b, c, d, a, 1, 21, t[55]);
    VEXOR_MD5_STEP(VEXOR_MD5_I, a, b, c, d, 8, 6, t[56]);
    VEXOR_MD5_STEP(VEXOR_MD5_I, d, a, b, c, 15, 10, t[57]);
    VEXOR_MD5_STEP(VEXOR_MD5_I, c, d, a, b, 6, 15, t[58]);
    VEXOR_MD5_STEP(VEXOR_MD5_I, b, c, d, a, 13, 21, t[59]);
    VEXOR_MD5_STEP(VEXOR_MD5_I, a, b, c, d, 4, 6, t[60]);
    VEXOR_MD5_STEP(VEXOR_MD5_I, d, a, b, c, 11, 10, t[61]);
    VEXOR_MD5_STEP(VEXOR_MD5_I, c, d, a, b, 2, 15, t[62]);
    VEXOR_MD5_STEP(VEXOR_MD5_I, b, c, d, a, 9, 21, t[63]);
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

#undef VEXOR_MD5_STEP
#undef VEXOR_MD5_F
#undef VEXOR_MD5_G
#undef VEXOR_MD5_H
#undef VEXOR_MD5_I

void Md5::Update(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    length_ += size;
    if (buffered_ > 0) {
        const size_t take = std::min(size, sizeof buffer_ - buffered_);
        std::memcpy(buffer_ + buffered_, bytes, take);
        buffered_ += take;
        bytes += take;
        size -= take;
        if (buffered_ < sizeof buffer_) return;
        Transform(buffer_);
        buffered_ = 0;
    }
    for (; size >= 64; bytes += 64, size -= 64) Transform(bytes);
    std::memcpy(buffer_, bytes, size);
    buffered_ = size;
}

std::array<uint8_t, 16> Md5::Digest() {
    const uint64_t bit_length = length_ * 8;
    static const uint8_t kPadding[64] = {0x80};
    const size_t pad = buffered_ < 56 ? 56 - buffered_ : 120 - buffered_;
    Update(kPadding, pad);
    uint8_t length_bytes[8];
    for (int i = 0; i < 8; ++i) length_bytes[i] = static_cast<uint8_t>(bit_length >> (8 * i));
    Update(length_bytes, 8);
    std::array<uint8_t, 16> digest;
    for (int i = 0; i < 16; ++i) digest[i] = static_cast<uint8_t>(state_[i / 4] >> (8 * (i % 4)));
    return digest;
}

std::string Md5::HexDigest() {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t byte : Digest()) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

}  // namespace TesselSoftware
