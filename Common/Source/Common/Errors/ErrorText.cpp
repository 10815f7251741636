#include "Common/Errors/ErrorText.h"

#include <cstdio>

#include "Common/Errors/Win32Error.h"

namespace TesselSoftware {

std::string FormatErrorText(uint32_t code, int style) {
    std::string text;
    if (const char* name = WinsockErrorName(code)) {
        text = name;
    } else {
        text = SystemErrorText(code);
        if (text.empty()) text = "unknown error";
    }
    if (style == kErrorTextAuto) style = code > 0xFFFF ? kErrorTextHex : kErrorTextDecimal;

    char number[32];
    switch (style) {
        case kErrorTextDecimal:
            std::snprintf(number, sizeof number, "%d", static_cast<int32_t>(code));
            break;
        case kErrorTextHex:
            std::snprintf(number, sizeof number, "0x%08x", code);
            break;
        default:
            return text;
    }
    return std::string(number) + " - " + text;
}

}  // namespace TesselSoftware
