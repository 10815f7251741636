#include "RegistryText.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <istream>
#include <ostream>
#include <vector>

#include "Common/Errors/Win32Error.h"
#include "Common/Registry/SecretValues.h"
#include "Common/Registry/RegistryKey.h"
#include "Common/Text/TextConversion.h"

namespace TesselSoftware {

namespace {

struct TypeName {
    uint32_t type;
    const char* name;
};
constexpr TypeName kTypeNames[] = {
    {kRegNone, "REG_NONE"},       {kRegSz, "REG_SZ"},       {kRegExpandSz, "REG_EXPAND_SZ"},
    {kRegBinary, "REG_BINARY"},   {kRegDword, "REG_DWORD"}, {kRegMultiSz, "REG_MULTI_SZ"},
    {kRegQword, "REG_QWORD"},
};

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> Unhex(const std::string& text) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::string out;
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
    }
    return out;
}

// Escapes what would break a tab-separated line: control bytes, DEL and "%".
std::string Escape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F || c == '%') {
            static const char kDigits[] = "0123456789ABCDEF";
            out += '%';
            out += kDigits[c >> 4];
            out += kDigits[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::optional<std::string> Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        const int high = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

uint64_t LittleEndian(const std::string& data, size_t bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes && i < data.size(); ++i) {
        value |= uint64_t{static_cast<unsigned char>(data[i])} << (8 * i);
    }
    return value;
}

std::optional<uint64_t> ParseUnsigned(const std::string& text, uint64_t max) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return std::nullopt;
    errno = 0;
    char* end = nullptr;
    // Decimal, or hexadecimal after "0x": a leading zero is no octal
    // prefix ("010" is ten, as an administrator means it).
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (hex && std::isxdigit(static_cast<unsigned char>(text[2])) == 0) return std::nullopt;
    const unsigned long long value = std::strtoull(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || value > max) return std::nullopt;
    return value;
}

}  // namespace

std::optional<KeyPath> ParseKeyPath(const std::string& text) {
    const size_t slash = text.find('\\');
    const std::string root = Upper(text.substr(0, slash));
    KeyPath path;
    if (root == "HKLM" || root == "HKEY_LOCAL_MACHINE") {
        path.root = RegistryRoot::kLocalMachine;
    } else if (root == "HKCR" || root == "HKEY_CLASSES_ROOT") {
        path.root = RegistryRoot::kClassesRoot;
    } else {
        return std::nullopt;
    }
    if (slash != std::string::npos) path.sub_key = text.substr(slash + 1);
    while (!path.sub_key.empty() && path.sub_key.back() == '\\') path.sub_key.pop_back();
    return path;
}

std::string FormatKeyPath(RegistryRoot root, const std::string& sub_key) {
    std::string text = root == RegistryRoot::kLocalMachine ? "HKLM" : "HKCR";
    if (!sub_key.empty()) text += "\\" + sub_key;
    return text;
}

std::optional<uint32_t> ParseValueType(const std::string& text) {
    const std::string upper = Upper(text);
    for (const TypeName& entry : kTypeNames) {
        if (upper == entry.name) return entry.type;
    }
    if (auto number = ParseUnsigned(text, UINT32_MAX)) return static_cast<uint32_t>(*number);
    return std::nullopt;
}

std::string ValueTypeName(uint32_t type) {
    for (const TypeName& entry : kTypeNames) {
        if (type == entry.type) return entry.name;
    }
    return std::to_string(type);
}

std::string FormatValueData(uint32_t type, const std::string& data) {
    switch (type) {
        case kRegSz:
        case kRegExpandSz: return DecodeRegistryString(data);
        case kRegDword:
            if (data.size() == 4) return std::to_string(LittleEndian(data, 4));
            break;
        case kRegQword:
            if (data.size() == 8) return std::to_string(LittleEndian(data, 8));
            break;
        case kRegMultiSz: {
            // Strings end at each terminator; the empty string that ends the
            // list is not shown.
            std::u16string wide;
            for (size_t i = 0; i + 1 < data.size(); i += 2) {
                wide += static_cast<char16_t>(LittleEndian(data.substr(i, 2), 2));
            }
            while (!wide.empty() && wide.back() == u'\0') wide.pop_back();
            std::string joined;
            size_t start = 0;
            for (;;) {
                const size_t end = wide.find(u'\0', start);
                joined += WideToNarrow(std::u16string_view(wide).substr(
                    start, end == std::u16string::npos ? std::u16string::npos : end - start));
                if (end == std::u16string::npos) break;
                joined += '|';
                start = end + 1;
            }
            return joined;
        }
        default: break;
    }
    return Hex(data);
}

std::optional<std::string> ParseValueData(uint32_t type, const std::string& text,
                                          std::string* error) {
    switch (type) {
        case kRegSz:
        case kRegExpandSz:
            if (!IsValidUtf8(text)) break;
            return EncodeRegistryString(text);
        case kRegMultiSz: {
            if (!IsValidUtf8(text)) break;
            std::string data;
            size_t start = 0;
            while (!text.empty()) {
                const size_t bar = text.find('|', start);
                data += EncodeRegistryString(text.substr(
                    start, bar == std::string::npos ? std::string::npos : bar - start));
                if (bar == std::string::npos) break;
                start = bar + 1;
            }
            return data + std::string(2, '\0');
        }
        case kRegDword:
        case kRegQword: {
            const size_t bytes = type == kRegDword ? 4 : 8;
            const auto number = ParseUnsigned(text, bytes == 4 ? UINT32_MAX : UINT64_MAX);
            if (!number) {
                *error = "not an unsigned " + std::to_string(bytes * 8) + "-bit number: " + text;
                return std::nullopt;
            }
            std::string data(bytes, '\0');
            for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<char>(*number >> (8 * i));
            return data;
        }
        default:
            if (auto bytes = Unhex(text)) return bytes;
            *error = "not an even number of hex digits: " + text;
            return std::nullopt;
    }
    *error = "not valid UTF-8 text";
    return std::nullopt;
}

void ExportTree(RegistryStore& store, const RegistryStore::Key& key, const std::string& path,
                std::ostream& out, bool mask) {
    out << "key\t" << Escape(path) << "\n";
    std::string name, data;
    uint32_t type = 0;
    for (uint32_t i = 0; store.EnumValue(key, i, &name, &type, &data) == 0; ++i) {
        if (mask) {
            out << "masked\t" << Escape(name) << "\n";
        } else {
            out << "value\t" << Escape(name) << "\t" << ValueTypeName(type) << "\t" << Hex(data) << "\n";
        }
    }
    for (uint32_t i = 0; store.EnumKey(key, i, &name) == 0; ++i) {
        RegistryStore::Key child;
        if (store.OpenKey(key, name, kKeyRead, &child) == 0) {
            ExportTree(store, child, path + "\\" + name, out, mask);
        }
    }
}

uint32_t ImportText(RegistryStore& store, RegistryStore* secrets, std::istream& in, std::string* error) {
    std::string line;
    if (!std::getline(in, line) || line != kExportHeader) {
        *error = std::string("line 1: expected \"") + kExportHeader + "\"";
        return Win32::kInvalidData;
    }
    RegistryStore::Key current, current_secrets;
    std::optional<KeyPath> current_path;
    // A key's values are written together, in one transaction per store,
    // when the next key starts and at the end: a crash or a power cut
    // during an import leaves each key with all of its new values or none.
    std::vector<RegistryStore::ValueWrite> values, secret_values;
    const auto flush = [&]() -> uint32_t {
        size_t failed = 0;
        for (auto* batch : {&secret_values, &values}) {
            if (batch->empty()) continue;
            const RegistryStore::Key& target = batch == &values ? current : current_secrets;
            const uint32_t rc = target.store->SetValues(target, *batch, &failed);
            if (rc != 0) {
                *error = "cannot set the value '" + (*batch)[std::min(failed, batch->size() - 1)].name + "'";
                return rc;
            }
            batch->clear();
        }
        return 0;
    };
    for (int number = 2; std::getline(in, line); ++number) {
        if (line.empty()) continue;
        const std::vector<std::string> fields = SplitTabs(line);
        const auto fail = [&](const std::string& why, uint32_t code) {
            *error = "line " + std::to_string(number) + ": " + why;
            return code;
        };
        if (fields[0] == "key" && fields.size() == 2) {
            if (const uint32_t rc = flush(); rc != 0) return rc;
            const auto text = Unescape(fields[1]);
            const auto path = text ? ParseKeyPath(*text) : std::nullopt;
            if (!path) return fail("bad key path", Win32::kInvalidData);
            const uint32_t rc = store.CreateKey(store.Root(path->root), path->sub_key,
                                                kKeyAllAccess, &current, nullptr);
            if (rc != 0) return fail("cannot create the key", rc);
            current_path = path;
            current_secrets = {};
        } else if (fields[0] == "value" && fields.size() == 4) {
            if (!current.valid()) return fail("value before any key", Win32::kInvalidData);
            const auto name = Unescape(fields[1]);
            const auto type = ParseValueType(fields[2]);
            const auto data = Unhex(fields[3]);
            if (!name || !type || !data) return fail("bad value line", Win32::kInvalidData);
            if (IsSecretValueName(*name)) {
                // Passwords never land in the store the gateway's account reads.
                if (secrets == nullptr) return fail("a password needs the secrets store (root)", Win32::kAccessDenied);
                if (!current_secrets.valid()) {
                    const uint32_t rc = secrets->CreateKey(secrets->Root(current_path->root), current_path->sub_key,
                                                           kKeyAllAccess, &current_secrets, nullptr);
                    if (rc != 0) return fail("cannot create the key in the secrets store", rc);
                }
                secret_values.push_back({*name, *type, std::string(data->begin(), data->end())});
            } else {
                values.push_back({*name, *type, std::string(data->begin(), data->end())});
            }
        } else if (fields[0] == "masked" && fields.size() == 2) {
            if (!current.valid()) return fail("value before any key", Win32::kInvalidData);
        } else {
            return fail("neither a key nor a value line", Win32::kInvalidData);
        }
    }
    return flush();
}

}  // namespace TesselSoftware
