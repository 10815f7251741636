// Control characters in UTF-8 text from outside (settings, messages): C0,
// DEL and C1. A line break or an escape sequence in such a value would forge
// or hide what follows it in a log, a listing or a terminal.
#pragma once

#include <cstddef>
#include <string_view>

namespace TesselSoftware {

// The length in bytes (1, or 2 for a C1 character) of the control character
// at text[i], and its number in *code; 0 when there is none there.
size_t ControlCharacterAt(std::string_view text, size_t i, unsigned* code);

}  // namespace TesselSoftware
