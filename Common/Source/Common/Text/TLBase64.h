// CTLBase64: standard Base64 (RFC 4648 alphabet, "=" padding, no line
// breaks) as the settings store keeps scrambled passwords.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace TesselSoftware {

class CTLBase64 {
public:
    static std::string Encode(std::string_view bytes);
    // Skips spaces and the control characters 7..13; a group ends at "=".
    // Other characters outside the alphabet are skipped as well. At most
    // max_bytes bytes are produced.
    static std::string Decode(std::string_view text, size_t max_bytes = std::string::npos);
};

}  // namespace TesselSoftware
