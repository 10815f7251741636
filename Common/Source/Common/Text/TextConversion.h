// Conversions between the narrow (UTF-8) text used in memory and the wide
// (UTF-16) text that crosses fixed contracts: registry string data and the
// RPC wire.
//
// The plain forms never fail and never lose a message: each invalid piece
// (a byte of malformed or overlong UTF-8, an encoded surrogate, a code point
// above U+10FFFF, a lone UTF-16 surrogate) becomes U+FFFD, the replacement
// character, and the rest of the text stays. An error text that names an
// archive entry with a broken name is still that error text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace TesselSoftware {

// UTF-16 -> UTF-8; each lone surrogate becomes U+FFFD.
std::string WideToNarrow(std::u16string_view wide);
// UTF-8 -> UTF-16; each byte that starts no valid sequence becomes U+FFFD.
std::u16string NarrowToWide(std::string_view narrow);

// The same conversions for callers that must tell failure apart from text:
// nullopt on invalid input.
std::optional<std::string> TryWideToNarrow(std::u16string_view wide);
std::optional<std::u16string> TryNarrowToWide(std::string_view narrow);

// True when the text is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);

}  // namespace TesselSoftware
