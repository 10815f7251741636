// The publisher's text list of signatures: "name ; action ; pattern" lines.
#include <cctype>

#include "vexor/DatFormat.h"

namespace VexorEngine {

namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

const char* ActionText(CleanAction action) {
    switch (action) {
        case CleanAction::kRepair:
            return "repair";
        case CleanAction::kDelete:
            return "delete";
        case CleanAction::kNone:
            break;
    }
    return "none";
}

bool ParseAction(std::string_view text, CleanAction* action) {
    for (const CleanAction candidate :
         {CleanAction::kNone, CleanAction::kRepair, CleanAction::kDelete}) {
        if (text == ActionText(candidate)) {
            *action = candidate;
            return true;
        }
    }
    return false;
}

// Hex pairs, "??" and "quoted text" with optional blanks between them.
bool ParsePattern(std::string_view text, std::vector<uint16_t>* pattern, std::string* why) {
    pattern->clear();
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == ' ' || c == '\t') {
            ++i;
        } else if (c == '"') {
            const size_t end = text.find('"', i + 1);
            if (end == std::string_view::npos) {
                *why = "unterminated quoted text";
                return false;
            }
            for (size_t k = i + 1; k < end; ++k) {
                pattern->push_back(static_cast<uint8_t>(text[k]));
            }
            i = end + 1;
        } else if (c == '?' && i + 1 < text.size() && text[i + 1] == '?') {
            pattern->push_back(kWildcard);
            i += 2;
        } else if (i + 1 < text.size() && HexValue(c) >= 0 && HexValue(text[i + 1]) >= 0) {
            pattern->push_back(static_cast<uint16_t>(HexValue(c) * 16 + HexValue(text[i + 1])));
            i += 2;
        } else {
            *why = "unexpected pattern text at column " + std::to_string(i + 1);
            return false;
        }
    }
    return true;
}

}  // namespace

bool ParseSignatureList(std::string_view text, std::vector<Signature>* out, std::string* error) {
    out->clear();
    size_t line_number = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string_view line = Trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++line_number;
        if (line.empty() || line.front() == '#') {
            continue;
        }

        const auto fail = [&](const std::string& why) {
            if (error) {
                *error = "line " + std::to_string(line_number) + ": " + why;
            }
            return false;
        };
        const size_t first = line.find(';');
        const size_t second = first == std::string_view::npos ? first : line.find(';', first + 1);
        if (second == std::string_view::npos) {
            return fail("expected 'name ; action ; pattern'");
        }
        Signature signature;
        signature.name = std::string(Trim(line.substr(0, first)));
        if (!ParseAction(Trim(line.substr(first + 1, second - first - 1)), &signature.action)) {
            return fail("the action must be none, repair or delete");
        }
        std::string why;
        if (!ParsePattern(Trim(line.substr(second + 1)), &signature.pattern, &why)) {
            return fail(why);
        }
        if (why = CheckSignature(signature); !why.empty()) {
            return fail(why);
        }
        out->push_back(std::move(signature));
    }
    return true;
}

std::string FormatSignatureList(const std::vector<Signature>& signatures) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (const Signature& s : signatures) {
        text += s.name;
        text += " ; ";
        text += ActionText(s.action);
        text += " ; ";
        for (const uint16_t element : s.pattern) {
            if (element == kWildcard) {
                text += "??";
            } else {
                text += kHex[element >> 4];
                text += kHex[element & 0xF];
            }
        }
        text += '\n';
    }
    return text;
}

}  // namespace VexorEngine
