#include "Common/Text/Rc4.h"

#include <utility>

namespace TesselSoftware {

std::string Rc4Transform(std::string_view key, std::string_view data) {
    uint8_t state[256];
    for (int i = 0; i < 256; ++i) state[i] = static_cast<uint8_t>(i);
    if (!key.empty()) {
        uint8_t j = 0;
        for (int i = 0; i < 256; ++i) {
            j = static_cast<uint8_t>(j + state[i] + static_cast<uint8_t>(key[i % key.size()]));
            std::swap(state[i], state[j]);
        }
    }
    std::string out(data);
    uint8_t i = 0, j = 0;
    for (char& byte : out) {
        i = static_cast<uint8_t>(i + 1);
        j = static_cast<uint8_t>(j + state[i]);
        std::swap(state[i], state[j]);
        byte = static_cast<char>(byte ^ state[static_cast<uint8_t>(state[i] + state[j])]);
    }
    return out;
}

}  // namespace TesselSoftware
