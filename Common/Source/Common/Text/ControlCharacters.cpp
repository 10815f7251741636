#include "Common/Text/ControlCharacters.h"

namespace TesselSoftware {

size_t ControlCharacterAt(std::string_view text, size_t i, unsigned* code) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
        *code = c;
        return 1;
    }
    if (c == 0xC2 && i + 1 < text.size()) {
        const auto next = static_cast<unsigned char>(text[i + 1]);
        if (next >= 0x80 && next <= 0x9F) {
            *code = next;
            return 2;
        }
    }
    return 0;
}

}  // namespace TesselSoftware
