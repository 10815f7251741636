#include "Common/Registry/RegistryKey.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "Common/Errors/Win32Error.h"
#include "Common/Registry/SecurityDescriptorText.h"
#include "Common/Text/TextConversion.h"

namespace TesselSoftware {

namespace {

constexpr uint32_t kSecurityDescriptorInvalid = 1338;
constexpr uint32_t kCopyBufferBytes = 16 * 1024;

std::string Describe(uint32_t error) {
    std::string text = SystemErrorText(error);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
    return text.empty() ? "Unknown Error" : text;
}

// What the tolerant readers (ReadBool, ReadQword) answer with the default: a
// value that is absent or does not fit their buffer. A failure of the store
// itself (corrupt 1009, busy 170, ...) is a failure: a load that took the
// default there would later save the default over the stored value.
bool IsMissingOrOversized(uint32_t rc) {
    return rc == Win32::kFileNotFound || rc == Win32::kMoreData;
}

// Throws CRegKeyException unless error is 0. The operation text is cut at
// 511 characters, like the fixed buffer it was once formatted into.
[[gnu::format(printf, 2, 3)]] void ThrowIfError(uint32_t error, const char* format, ...) {
    if (error == Win32::kSuccess) return;
    char operation[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(operation, sizeof operation, format, args);
    va_end(args);
    throw CRegKeyException(error, operation);
}

std::string WideBytes(std::u16string_view wide) {
    std::string bytes;
    bytes.reserve(wide.size() * 2);
    for (char16_t unit : wide) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

std::u16string WideFromBytes(std::string_view bytes) {
    std::u16string wide;
    wide.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        wide += static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                      (static_cast<uint8_t>(bytes[i + 1]) << 8));
    }
    return wide;
}

bool IsStringType(uint32_t type) { return type == kRegSz || type == kRegExpandSz; }

// The store keeps a DWORD as four little-endian bytes.
uint32_t DwordFromBytes(const uint8_t* bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (uint32_t{bytes[3]} << 24);
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

}  // namespace

std::string EncodeRegistryString(const std::string& text) {
    std::u16string wide = NarrowToWide(text);
    wide.push_back(u'\0');
    return WideBytes(wide);
}

std::string DecodeRegistryString(const std::string& data) {
    std::u16string wide = WideFromBytes(data);
    const size_t end = wide.find(u'\0');
    if (end != std::u16string::npos) wide.resize(end);
    return WideToNarrow(wide);
}

CRegKeyException::CRegKeyException(uint32_t error, const std::string& operation)
    : ExceptionBase(static_cast<int32_t>(error),
                    operation + ", " + std::to_string(error) + " - " + Describe(error)) {}

RegistryKey::Parent::Parent(RegistryRoot root) : root_(root) {}
RegistryKey::Parent::Parent(const RegistryKey& key) : key_(&key) {}
RegistryKey::Parent::Parent(const RegistryStore::Key& store_root) : store_root_(store_root) {}

uint32_t RegistryKey::Parent::Resolve(RegistryStore::Key* out) const {
    if (store_root_) {
        *out = *store_root_;
        return Win32::kSuccess;
    }
    if (root_) {
        *out = RegistryStore::Default()->Root(*root_);
        return Win32::kSuccess;
    }
    if (key_ == nullptr || !key_->IsOpen()) return Win32::kInvalidHandle;
    *out = key_->handle();
    return Win32::kSuccess;
}

const RegistryStore::Key& RegistryKey::Held() const {
    if (!key_) throw CRegKeyException(Win32::kInvalidHandle, "Registry key is not open");
    return *key_;
}

void RegistryKey::Open(const Parent& parent, const std::string& sub_key, uint32_t access) {
    RegistryStore::Key base, opened;
    uint32_t rc = parent.Resolve(&base);
    if (rc == Win32::kSuccess) rc = base.store->OpenKey(base, sub_key, access, &opened);
    ThrowIfError(rc, "Failed to open key '%s'", sub_key.c_str());
    key_ = std::move(opened);
}

bool RegistryKey::Create(const Parent& parent, const std::string& sub_key,
                         const std::string& /*class_name*/, uint32_t /*options*/, uint32_t access,
                         const std::string& security) {
    if (!security.empty() && !IsSecurityDescriptorText(security)) {
        ThrowIfError(kSecurityDescriptorInvalid, "Failed to create key '%s'", sub_key.c_str());
    }
    RegistryStore::Key base, created_key;
    bool created = false;
    uint32_t rc = parent.Resolve(&base);
    if (rc == Win32::kSuccess) rc = base.store->CreateKey(base, sub_key, access, &created_key, &created);
    ThrowIfError(rc, "Failed to create key '%s'", sub_key.c_str());
    key_ = std::move(created_key);
    return created;
}

void RegistryKey::Reopen() {
    const RegistryStore::Key& held = Held();
    RegistryStore::Key reopened;
    ThrowIfError(held.store->OpenKey(held, "", kKeyAllAccess, &reopened), "Failed to open key '%s'",
                 "");
    key_ = std::move(reopened);
}

void RegistryKey::ConnectRemote(const std::string& machine, RegistryRoot /*root*/) {
    ThrowIfError(Win32::kNotSupported, "Failed to connect to registry on '%s'", machine.c_str());
}

bool RegistryKey::SubKeyExists(const std::string& name) const {
    const RegistryStore::Key& held = Held();
    RegistryStore::Key probe;
    const uint32_t rc = held.store->OpenKey(held, name, kKeyRead, &probe);
    if (rc == Win32::kFileNotFound) return false;
    ThrowIfError(rc, "Failed while checking for existence of subkey '%s'", name.c_str());
    return true;
}

bool RegistryKey::ValueExists(const std::string& name) const {
    const RegistryStore::Key& held = Held();
    char buffer[4];
    uint32_t size = sizeof buffer;
    const uint32_t rc = held.store->QueryValue(held, name, nullptr, buffer, &size);
    if (rc == Win32::kSuccess || rc == Win32::kMoreData) return true;
    if (rc == Win32::kFileNotFound) return false;
    ThrowIfError(rc, "Failed to check for existence of value '%s'", name.c_str());
    return false;
}

uint32_t RegistryKey::QueryGrowing(const std::string& name, uint32_t initial_size, uint32_t* type,
                                   std::string* data) const {
    const RegistryStore::Key& held = Held();
    data->assign(initial_size, '\0');
    uint32_t size = initial_size;
    uint32_t rc = held.store->QueryValue(held, name, type, data->data(), &size);
    if (rc == Win32::kMoreData) {
        data->assign(size, '\0');
        rc = held.store->QueryValue(held, name, type, data->data(), &size);
    }
    data->resize(rc == Win32::kSuccess ? size : 0);
    return rc;
}

bool RegistryKey::ReadDword(const std::string& name, uint32_t default_value,
                            uint32_t* value) const {
    const RegistryStore::Key& held = Held();
    uint8_t buffer[4] = {};
    uint32_t size = sizeof buffer, type = kRegNone;
    uint32_t rc = held.store->QueryValue(held, name, &type, buffer, &size);
    if (rc == Win32::kFileNotFound) {
        *value = default_value;
        return false;
    }
    if (rc == Win32::kSuccess && type != kRegDword) rc = Win32::kInvalidData;
    ThrowIfError(rc, "Failed to query value '%s'", name.c_str());
    *value = DwordFromBytes(buffer);
    return true;
}

std::vector<RegistryStore::ValueRead> RegistryKey::ReadValuesTogether(
    const std::vector<std::string>& names) const {
    const RegistryStore::Key& held = Held();
    std::vector<RegistryStore::ValueRead> values;
    ThrowIfError(held.store->QueryValues(held, names, &values), "Failed to query %zu values together",
                 names.size());
    return values;
}

bool RegistryKey::ReadString(const std::string& name, const std::string& default_value,
                             std::string* value) const {
    uint32_t type = kRegNone;
    std::string data;
    uint32_t rc = QueryGrowing(name, 200, &type, &data);
    if (rc == Win32::kFileNotFound) {
        *value = default_value;
        return false;
    }
    if (rc == Win32::kSuccess && !IsStringType(type)) rc = Win32::kInvalidData;
    ThrowIfError(rc, "Failed to query value '%s'", name.c_str());
    *value = DecodeRegistryString(data);
    return true;
}

bool RegistryKey::ReadBool(const std::string& name, bool default_value, bool* value) const {
    const RegistryStore::Key& held = Held();
    uint8_t buffer[4] = {};
    uint32_t size = sizeof buffer, type = kRegNone;
    const uint32_t rc = held.store->QueryValue(held, name, &type, buffer, &size);
    if (IsMissingOrOversized(rc)) {
        *value = default_value;
        return false;
    }
    ThrowIfError(rc, "Failed to query value '%s'", name.c_str());
    if (type != kRegDword) ThrowIfError(Win32::kInvalidData, "Failed to query value '%s'", name.c_str());
    *value = (buffer[0] | buffer[1] | buffer[2] | buffer[3]) != 0;
    return true;
}

bool RegistryKey::ReadQword(const std::string& name, uint64_t default_value,
                            uint64_t* value) const {
    const RegistryStore::Key& held = Held();
    uint8_t buffer[8] = {};
    uint32_t size = sizeof buffer, type = kRegNone;
    const uint32_t rc = held.store->QueryValue(held, name, &type, buffer, &size);
    if (IsMissingOrOversized(rc)) {
        *value = default_value;
        return false;
    }
    ThrowIfError(rc, "Failed to query value '%s'", name.c_str());
    if (type != kRegQword && type != kRegDword) {
        ThrowIfError(Win32::kInvalidData, "Failed to query value '%s'", name.c_str());
    }
    const size_t bytes = type == kRegDword ? 4 : 8;  // a DWORD is zero-extended
    uint64_t result = 0;
    for (size_t i = 0; i < bytes; ++i) result |= uint64_t{buffer[i]} << (8 * i);
    *value = result;
    return true;
}

uint32_t RegistryKey::ReadRequiredDword(const std::string& name) const {
    uint32_t value = 0;
    if (!ReadDword(name, 0, &value)) {
        ThrowIfError(Win32::kFileNotFound, "Failed to query value '%s'", name.c_str());
    }
    return value;
}

std::string RegistryKey::ReadRequiredString(const std::string& name) const {
    std::string value;
    if (!ReadString(name, "", &value)) {
        ThrowIfError(Win32::kFileNotFound, "Failed to query value '%s'", name.c_str());
    }
    return value;
}

bool RegistryKey::ReadRequiredBool(const std::string& name) const {
    const RegistryStore::Key& held = Held();
    uint8_t buffer[4] = {};
    uint32_t size = sizeof buffer, type = kRegNone;
    uint32_t rc = held.store->QueryValue(held, name, &type, buffer, &size);
    if (rc == Win32::kSuccess && type != kRegDword) rc = Win32::kInvalidData;
    ThrowIfError(rc, "Failed to query value '%s'", name.c_str());
    return (buffer[0] | buffer[1] | buffer[2] | buffer[3]) != 0;
}

bool RegistryKey::ReadMultiString(const std::string& name, bool required,
                                  std::vector<std::string>* list) const {
    list->clear();
    uint32_t type = kRegNone;
    std::string data;
    uint32_t rc = QueryGrowing(name, 2048, &type, &data);
    if (rc == Win32::kFileNotFound && !required) return false;
    if (rc == Win32::kSuccess && type != kRegMultiSz && type != kRegSz) rc = Win32::kInvalidData;
    ThrowIfError(rc, "Failed to query value '%s'", name.c_str());
    if (type == kRegSz) {
        list->push_back(DecodeRegistryString(data));
        return true;
    }
    const std::u16string wide = WideFromBytes(data);
    size_t start = 0;
    while (start < wide.size()) {
        const size_t end = std::min(wide.find(u'\0', start), wide.size());
        if (end == start) break;  // the empty string that ends the list
        list->push_back(WideToNarrow(std::u16string_view(wide).substr(start, end - start)));
        start = end + 1;
    }
    return true;
}

std::string RegistryKey::ReadBinary(const std::string& name) const {
    uint32_t type = kRegNone;
    std::string data;
    uint32_t rc = QueryGrowing(name, 2048, &type, &data);
    if (rc == Win32::kSuccess && type != kRegBinary) rc = Win32::kInvalidData;
    ThrowIfError(rc, "Failed to query value '%s'", name.c_str());
    return data;
}

std::string RegistryKey::ReadSecurityDescriptor(const std::string& name) const {
    const std::string text = ReadRequiredString(name);
    if (!IsSecurityDescriptorText(text)) {
        ThrowIfError(kSecurityDescriptorInvalid, "Failed to translate Security Descriptor %s in value %s",
                     text.c_str(), name.c_str());
    }
    return text;
}

void RegistryKey::SetValue(const std::string& name, uint32_t type, const std::string& data) {
    const RegistryStore::Key& held = Held();
    const uint32_t rc = held.store->SetValue(held, name, type, data.data(),
                                             static_cast<uint32_t>(data.size()));
    if (rc != Win32::kNoMoreItems) ThrowIfError(rc, "Failed to set value '%s'", name.c_str());
}

void RegistryKey::WriteDword(const std::string& name, uint32_t value) {
    std::string data(4, '\0');
    for (int i = 0; i < 4; ++i) data[i] = static_cast<char>(value >> (8 * i));
    SetValue(name, kRegDword, data);
}

void RegistryKey::WriteQword(const std::string& name, uint64_t value) {
    std::string data(8, '\0');
    for (int i = 0; i < 8; ++i) data[i] = static_cast<char>(value >> (8 * i));
    SetValue(name, kRegQword, data);
}

void RegistryKey::WriteString(const std::string& name, const std::string& text) {
    SetValue(name, kRegSz, EncodeRegistryString(text));
}

void RegistryKey::WriteExpandString(const std::string& name, const std::string& text) {
    SetValue(name, kRegExpandSz, EncodeRegistryString(text));
}

void RegistryKey::WriteMultiString(const std::string& name, const std::vector<std::string>& list) {
    std::string data;
    for (const std::string& item : list) data += EncodeRegistryString(item);
    data += std::string(2, '\0');  // the empty string that ends the list
    SetValue(name, kRegMultiSz, data);
}

void RegistryKey::WriteTogether(const std::vector<PairedValue>& values, RegistryStore::ForReaders readers) {
    const RegistryStore::Key& held = Held();
    std::vector<RegistryStore::ValueWrite> writes;
    for (const PairedValue& value : values) {
        std::string data;
        if (value.is_string) {
            data = EncodeRegistryString(value.text);
        } else {
            const int width = value.is_qword ? 8 : 4;
            data.assign(static_cast<size_t>(width), '\0');
            for (int i = 0; i < width; ++i) data[static_cast<size_t>(i)] = static_cast<char>(value.number >> (8 * i));
        }
        const uint32_t type = value.is_string ? kRegSz : (value.is_qword ? kRegQword : kRegDword);
        writes.push_back({value.name, type, std::move(data)});
    }
    size_t failed = 0;
    const uint32_t rc = held.store->SetValues(held, writes, &failed, readers);
    if (rc != Win32::kSuccess && rc != Win32::kNoMoreItems) {
        ThrowIfError(rc, "Failed to set value '%s'",
                     failed < values.size() ? values[failed].name.c_str() : "");
    }
}

void RegistryKey::WriteBinary(const std::string& name, const std::string& data) {
    SetValue(name, kRegBinary, data);
}

void RegistryKey::WriteSecurityDescriptor(const std::string& name, const std::string& descriptor) {
    if (!IsSecurityDescriptorText(descriptor)) {
        ThrowIfError(kSecurityDescriptorInvalid, "Failed to translate Security Descriptor to string");
    }
    WriteString(name, descriptor);
}

void RegistryKey::RenameKey(const std::string& old_name, const std::string& new_name) {
    if (!SameIgnoringCase(old_name, new_name)) {
        if (SubKeyExists(new_name)) {
            ThrowIfError(Win32::kAlreadyExists, "Failed to rename key because key already exists");
        }
        MoveKey(old_name, new_name);
        return;
    }
    // A case-only rename: the store sees one name, so go through a free
    // temporary name.
    const RegistryStore::Key& held = Held();
    for (int counter = 0; counter <= 99998; ++counter) {
        char temporary[32];
        std::snprintf(temporary, sizeof temporary, "TEMP$$$%5.5d", counter);
        RegistryStore::Key probe;
        const uint32_t rc = held.store->OpenKey(held, temporary, kKeyRead, &probe);
        if (rc == Win32::kFileNotFound) {
            MoveKey(old_name, temporary);
            MoveKey(temporary, new_name);
            return;
        }
        if (rc != Win32::kSuccess) {
            ThrowIfError(rc, "Failed while checking for existence of subkey '%s'", temporary);
        }
    }
    ThrowIfError(Win32::kAlreadyExists,
                 "Failed to rename key because a temporary key could not be located");
}

void RegistryKey::MoveKey(const std::string& old_name, const std::string& new_name) {
    CopyKey(old_name, new_name);
    DeleteTree(old_name);
}

void RegistryKey::CopyKey(const std::string& source, const std::string& destination) {
    const RegistryStore::Key& held = Held();
    RegistryStore::Key from, to;
    ThrowIfError(held.store->OpenKey(held, source, kKeyRead, &from), "Failed to open key '%s'",
                 source.c_str());
    bool created = false;
    ThrowIfError(held.store->CreateKey(held, destination, kKeyAllAccess, &to, &created),
                 "Failed to create key '%s'", destination.c_str());
    if (!created) {
        ThrowIfError(Win32::kAlreadyExists, "Destination key '%s' already exists",
                     destination.c_str());
    }
    CopyTree(from, to, true);
}

void RegistryKey::CopyTree(const RegistryStore::Key& source, const RegistryStore::Key& destination,
                           bool fail_if_exists) {
    RegistryStore& store = *source.store;
    for (uint32_t index = 0;; ++index) {
        std::string name, data;
        uint32_t type = kRegNone;
        uint32_t rc = store.EnumValue(source, index, &name, &type, &data);
        if (rc == Win32::kNoMoreItems) break;
        if (rc == Win32::kSuccess && name.size() > 512) rc = Win32::kMoreData;
        if (rc == Win32::kSuccess) {
            rc = store.SetValue(destination, name, type, data.data(),
                                static_cast<uint32_t>(data.size()));
        }
        ThrowIfError(rc, "Failed to copy values");
    }
    for (uint32_t index = 0;; ++index) {
        std::string name;
        const uint32_t rc = store.EnumKey(source, index, &name);
        if (rc == Win32::kNoMoreItems) break;
        ThrowIfError(rc, "Failed to enumerate subkeys during copy");
        RegistryStore::Key from, to;
        ThrowIfError(store.OpenKey(source, name, kKeyRead, &from), "Failed to open key '%s'",
                     name.c_str());
        bool created = false;
        ThrowIfError(store.CreateKey(destination, name, kKeyAllAccess, &to, &created),
                     "Failed to create key '%s'", name.c_str());
        if (!created && fail_if_exists) {
            ThrowIfError(Win32::kAlreadyExists, "Destination sub key '%s' already exists",
                         name.c_str());
        }
        CopyTree(from, to, fail_if_exists);
    }
}

void RegistryKey::RenameValue(const std::string& old_name, const std::string& new_name) {
    if (old_name == new_name) return;
    const bool case_only = SameIgnoringCase(old_name, new_name);
    if (!case_only && ValueExists(new_name)) {
        ThrowIfError(Win32::kAlreadyExists, "Failed to rename value because value already exists");
    }
    uint32_t type = kRegNone;
    std::string data;
    ThrowIfError(QueryGrowing(old_name, 1000, &type, &data), "Failed to rename value");
    const RegistryStore::Key& held = Held();
    const auto write = [&] {
        ThrowIfError(held.store->SetValue(held, new_name, type, data.data(),
                                          static_cast<uint32_t>(data.size())),
                     "Failed to rename value");
    };
    const auto remove = [&] {
        ThrowIfError(held.store->DeleteValue(held, old_name), "Failed to delete value '%s'",
                     old_name.c_str());
    };
    if (case_only) {
        remove();
        write();
    } else {
        write();
        remove();
    }
}

void RegistryKey::CopyValue(const std::string& old_name, const std::string& new_name) {
    if (ValueExists(new_name)) {
        ThrowIfError(Win32::kAlreadyExists, "Failed to copy value because value already exists");
    }
    uint32_t type = kRegNone;
    std::string data;
    ThrowIfError(QueryGrowing(old_name, kCopyBufferBytes, &type, &data), "Failed to rename value");
    const RegistryStore::Key& held = Held();
    ThrowIfError(held.store->SetValue(held, new_name, type, data.data(),
                                      static_cast<uint32_t>(data.size())),
                 "Failed to rename value");
}

bool RegistryKey::EnumSubKey(uint32_t* index, std::string* name) const {
    const RegistryStore::Key& held = Held();
    const uint32_t rc = held.store->EnumKey(held, *index, name);
    if (rc == Win32::kNoMoreItems) return false;
    ThrowIfError(rc, "Failed to enumerate subkeys");
    ++*index;
    return true;
}

bool RegistryKey::EnumStringValue(uint32_t* index, std::string* name, std::string* text) const {
    const RegistryStore::Key& held = Held();
    uint32_t type = kRegNone;
    std::string data;
    uint32_t rc = held.store->EnumValue(held, *index, name, &type, &data);
    if (rc == Win32::kNoMoreItems) return false;
    if (rc == Win32::kSuccess && type != kRegSz) rc = Win32::kInvalidData;
    ThrowIfError(rc, "Failed to enumerate key");
    *text = DecodeRegistryString(data);
    ++*index;
    return true;
}

void RegistryKey::DeleteSubKey(const std::string& name) {
    const RegistryStore::Key& held = Held();
    ThrowIfError(held.store->DeleteKey(held, name), "Failed to delete sub key '%s'", name.c_str());
}

void RegistryKey::DeleteValue(const std::string& name) {
    const RegistryStore::Key& held = Held();
    ThrowIfError(held.store->DeleteValue(held, name), "Failed to delete value '%s'", name.c_str());
}

void RegistryKey::DeleteAllValues() {
    const RegistryStore::Key& held = Held();
    std::string name;
    // Deleting shifts the enumeration, so always take the first value.
    while (held.store->EnumValue(held, 0, &name, nullptr, nullptr) == Win32::kSuccess) {
        DeleteValue(name);
    }
}

void RegistryKey::DeleteTree(const std::string& name) {
    const RegistryStore::Key& held = Held();
    RegistryStore::Key target;
    ThrowIfError(held.store->OpenKey(held, name, kKeyRead | kKeyWrite | kKeyDelete, &target),
                 "Failed to open key '%s' for deletion", name.c_str());
    std::string child;
    while (held.store->EnumKey(target, 0, &child) == Win32::kSuccess) {
        RegistryKey sub;
        sub.key_ = target;
        sub.DeleteTree(child);
    }
    ThrowIfError(held.store->DeleteKey(held, name), "Failed to delete sub key '%s'", name.c_str());
}

bool RegistryKey::IsSecurityDescriptorText(const std::string& text) {
    return TesselSoftware::IsSecurityDescriptorText(text);
}

std::optional<std::string> RegistryStringOf(const RegistryStore::ValueRead& value) {
    if (value.rc != Win32::kSuccess || !IsStringType(value.type)) return std::nullopt;
    return DecodeRegistryString(value.data);
}

std::optional<uint32_t> RegistryDwordOf(const RegistryStore::ValueRead& value) {
    if (value.rc != Win32::kSuccess || value.type != kRegDword || value.data.size() != 4) return std::nullopt;
    return DwordFromBytes(reinterpret_cast<const uint8_t*>(value.data.data()));
}

}  // namespace TesselSoftware
