// Conversions between the narrow (UTF-8) text used in memory and the wide
// (UTF-16) text that crosses fixed contracts: registry string data and the
// RPC wire.
//
// The checked forms never fail: invalid input (malformed or overlong UTF-8,
// encoded surrogates, code points above U+10FFFF, lone UTF-16 surrogates)
// converts to a fixed error text instead, as callers display the result.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace TesselSoftware {

inline constexpr std::string_view kWideToNarrowError = "ERROR in Unicode->MB conversion";
inline constexpr std::u16string_view kNarrowToWideError = u"ERROR in MB->Unicode conversion";

// UTF-16 -> UTF-8; "ERROR in Unicode->MB conversion" for invalid input.
std::string WideToNarrow(std::u16string_view wide);
// UTF-8 -> UTF-16; u"ERROR in MB->Unicode conversion" for invalid input.
std::u16string NarrowToWide(std::string_view narrow);

// The same conversions for callers that must tell failure apart from text:
// nullopt on invalid input.
std::optional<std::string> TryWideToNarrow(std::u16string_view wide);
std::optional<std::u16string> TryNarrowToWide(std::string_view narrow);

// True when the text is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);

}  // namespace TesselSoftware
