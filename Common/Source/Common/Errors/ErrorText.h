// Error texts for platform and socket error codes.
//
//   FormatErrorText(5)      -> "5 - Access is denied.\r\n"
//   FormatErrorText(10061)  -> "10061 - WSAECONNREFUSED"
//   FormatErrorText(0x80004005) -> "0x80004005 - unknown error"
#pragma once

#include <cstdint>
#include <string>

namespace TesselSoftware {

enum ErrorTextStyle : int {
    kErrorTextDecimal = 0,  // "%d - text" (the code as signed decimal)
    kErrorTextHex = 1,      // "0x%08x - text"
    kErrorTextOnly = 2,     // the text alone
    kErrorTextAuto = 3,     // hex above 0xFFFF, decimal otherwise
};

// The text for a code: the Winsock constant name for the named Winsock codes,
// else the English system text as it comes (with its trailing line break),
// else "unknown error". Never fails.
std::string FormatErrorText(uint32_t code, int style = kErrorTextAuto);

}  // namespace TesselSoftware
