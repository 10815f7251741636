// MD5 message digest (RFC 1321), the checksum update sites publish.
//
//   Md5 md5;
//   md5.Update(data, size);     // any number of times
//   std::string hex = md5.HexDigest();   // 32 lower-case hex digits
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace TesselSoftware {

class Md5 {
public:
    Md5();
    void Update(const void* data, size_t size);
    // Finishes the digest; the object must not be updated afterwards.
    std::array<uint8_t, 16> Digest();
    std::string HexDigest();

private:
    void Transform(const uint8_t block[64]);

    uint32_t state_[4];
    uint64_t length_ = 0;  // bytes fed so far
    uint8_t buffer_[64];
    size_t buffered_ = 0;
};

}  // namespace TesselSoftware
