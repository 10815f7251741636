#include "vexorctl/TerminalText.h"

#include <cstdio>

#include "Common/Text/ControlCharacters.h"

namespace TesselSoftware::VexorCtl {

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

std::string OneLine(const std::string& text) {
    std::string line;
    const std::string trimmed = Trimmed(text);
    for (size_t i = 0; i < trimmed.size(); ++i) {
        if (trimmed[i] == '\r' && i + 1 < trimmed.size() && trimmed[i + 1] == '\n') {
            line += ' ';
            ++i;
        } else {
            line += trimmed[i];
        }
    }
    return line;
}

std::string Printable(const std::string& text) {
    std::string shown;
    for (size_t i = 0; i < text.size();) {
        unsigned code = 0;
        const size_t length = ControlCharacterAt(text, i, &code);
        if (length == 0) {
            shown += text[i++];
            continue;
        }
        char escape[8];
        if (code == '\n') std::snprintf(escape, sizeof escape, "\\n");
        else if (code == '\r') std::snprintf(escape, sizeof escape, "\\r");
        else if (code == '\t') std::snprintf(escape, sizeof escape, "\\t");
        else std::snprintf(escape, sizeof escape, "\\x%02x", code);
        shown += escape;
        i += length;
    }
    return shown;
}

}  // namespace TesselSoftware::VexorCtl
