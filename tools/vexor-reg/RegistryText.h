// Text forms of registry-store content for the vexor-reg tool: key paths,
// one-line value renderings, value data parsed from the command line, and
// the export format that imports back byte for byte.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "Common/Platform/RegistryStore.h"

namespace TesselSoftware {

// "HKLM\SOFTWARE\X" (also HKEY_LOCAL_MACHINE, HKCR, HKEY_CLASSES_ROOT, any
// case) split into its root and the path below it.
struct KeyPath {
    RegistryRoot root = RegistryRoot::kLocalMachine;
    std::string sub_key;
};
std::optional<KeyPath> ParseKeyPath(const std::string& text);
std::string FormatKeyPath(RegistryRoot root, const std::string& sub_key);

// "REG_SZ" -> 1; a decimal number is accepted for other types.
std::optional<uint32_t> ParseValueType(const std::string& text);
std::string ValueTypeName(uint32_t type);

// The data of a value as `get` shows it: strings as text, DWORD and QWORD
// as unsigned decimal, multi-strings joined by "|", anything else as hex.
std::string FormatValueData(uint32_t type, const std::string& data);
// Command-line DATA for TYPE as stored bytes; nullopt and *error on bad input.
std::optional<std::string> ParseValueData(uint32_t type, const std::string& text,
                                          std::string* error);

// Export: a header line, then "key\t<path>" and "value\t<name>\t<type>\t<hex>"
// lines; paths and names are %-escaped so any byte survives. With mask, each
// value is a "masked\t<name>" line instead (passwords shown only on request).
void ExportTree(RegistryStore& store, const RegistryStore::Key& key, const std::string& path,
                std::ostream& out, bool mask = false);
inline constexpr char kExportHeader[] = "vexor-reg export 1";
// Applies an export; returns 0 or a Win32 error, with *error saying where.
// Password values (SecretValueNames) go to secrets at the same key path;
// "masked" lines change nothing. Without a secrets store, a password value
// is refused.
uint32_t ImportText(RegistryStore& store, RegistryStore* secrets, std::istream& in, std::string* error);

}  // namespace TesselSoftware
