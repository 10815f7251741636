// RegistryKey: owner of one open registry-store key whose operations either
// succeed or throw CRegKeyException.
//
//   RegistryKey key;
//   key.Open(RegistryRoot::kLocalMachine, "SOFTWARE\\Quorvane\\Vexor for Tessel", kKeyRead);
//   uint32_t version = 0;
//   key.ReadDword("DATVersion", 0, &version);   // false and the default when missing
//
// Reads come as required reads (a missing value throws) and reads with a
// default (a missing value returns false and the default). Text is UTF-8 in
// memory and UTF-16LE with its terminator in the store. Not safe for
// concurrent use of one object; separate objects may be used on any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Common/Errors/ExceptionBase.h"
#include "Common/Platform/RegistryStore.h"

namespace TesselSoftware {

// code = the store's Win32 error; message = operation text + ", " + code +
// " - " + the error's description without its line break:
// "Failed to query value 'DATVersion', 13 - The data is invalid."
class CRegKeyException : public ExceptionBase {
public:
    CRegKeyException(uint32_t error, const std::string& operation);
};

class RegistryKey {
public:
    // What a key is opened below: a predefined root or another open key.
    class Parent {
    public:
        Parent(RegistryRoot root);                 // NOLINT: implicit by design
        Parent(const RegistryKey& key);            // NOLINT
        // A root of a given store (RegistryStore::Secrets()->Root(...)).
        Parent(const RegistryStore::Key& store_root);  // NOLINT
        uint32_t Resolve(RegistryStore::Key* out) const;

    private:
        std::optional<RegistryRoot> root_;
        const RegistryKey* key_ = nullptr;
        std::optional<RegistryStore::Key> store_root_;
    };

    RegistryKey() = default;
    RegistryKey(RegistryKey&&) noexcept = default;
    RegistryKey& operator=(RegistryKey&&) noexcept = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() = default;  // the handle closes with the object

    bool IsOpen() const { return key_.has_value(); }
    void Close() { key_.reset(); }
    // The open handle. REQUIRES: IsOpen().
    const RegistryStore::Key& handle() const { return *key_; }

    // A failed open or create leaves a previously held key in place.
    void Open(const Parent& parent, const std::string& sub_key, uint32_t access);
    // Returns true when the key was newly created. class_name and options
    // have no meaning in the store and are ignored; a non-empty security
    // text must be a valid security-descriptor string.
    bool Create(const Parent& parent, const std::string& sub_key, const std::string& class_name = "",
                uint32_t options = 0, uint32_t access = kKeyAllAccess,
                const std::string& security = "");
    void Reopen();
    // Remote registries do not exist here: always throws
    // "Failed to connect to registry on '<machine>'".
    void ConnectRemote(const std::string& machine, RegistryRoot root);

    bool SubKeyExists(const std::string& name) const;
    bool ValueExists(const std::string& name) const;

    // Reads with a default: *value = the stored value (true) or the default
    // (false). Wrong type and other failures throw as documented per read.
    bool ReadDword(const std::string& name, uint32_t default_value, uint32_t* value) const;
    bool ReadString(const std::string& name, const std::string& default_value,
                    std::string* value) const;
    bool ReadBool(const std::string& name, bool default_value, bool* value) const;
    bool ReadQword(const std::string& name, uint64_t default_value, uint64_t* value) const;
    // Required reads: a missing value throws with 2.
    // Several values as they were at one moment (RegistryStore::QueryValues),
    // undecoded; a missing value has rc 2. Throws when the read fails.
    std::vector<RegistryStore::ValueRead> ReadValuesTogether(const std::vector<std::string>& names) const;

    uint32_t ReadRequiredDword(const std::string& name) const;
    std::string ReadRequiredString(const std::string& name) const;
    bool ReadRequiredBool(const std::string& name) const;
    // REG_SZ gives one entry, REG_MULTI_SZ one per string. Missing: false
    // and an empty list, unless required (then it throws).
    bool ReadMultiString(const std::string& name, bool required,
                         std::vector<std::string>* list) const;
    std::string ReadBinary(const std::string& name) const;
    // A string value holding a security-descriptor text, validated.
    std::string ReadSecurityDescriptor(const std::string& name) const;

    // Writes; any failure but 259 throws "Failed to set value '<name>'".
    void WriteDword(const std::string& name, uint32_t value);
    void WriteString(const std::string& name, const std::string& text);
    void WriteExpandString(const std::string& name, const std::string& text);
    void WriteQword(const std::string& name, uint64_t value);
    void WriteMultiString(const std::string& name, const std::vector<std::string>& list);
    void WriteBinary(const std::string& name, const std::string& data);
    void WriteSecurityDescriptor(const std::string& name, const std::string& descriptor);
    // Writes DWORD, QWORD and string values together: after a crash either
    // all or none hold their new data. Throws "Failed to set value '<name>'".
    struct PairedValue {
        std::string name;
        bool is_string;
        std::string text;
        uint64_t number;
        bool is_qword = false;  // number is a QWORD rather than a DWORD
    };
    void WriteTogether(const std::vector<PairedValue>& values,
                       RegistryStore::ForReaders readers = RegistryStore::ForReaders::kNow);

    void RenameKey(const std::string& old_name, const std::string& new_name);
    void MoveKey(const std::string& old_name, const std::string& new_name);
    void CopyKey(const std::string& source, const std::string& destination);
    void RenameValue(const std::string& old_name, const std::string& new_name);
    void CopyValue(const std::string& old_name, const std::string& new_name);

    // Enumeration: false at the end of the list; *index advances on success.
    bool EnumSubKey(uint32_t* index, std::string* name) const;
    // REG_SZ values only (another type throws with 13).
    bool EnumStringValue(uint32_t* index, std::string* name, std::string* text) const;

    void DeleteSubKey(const std::string& name);
    void DeleteValue(const std::string& name);
    void DeleteAllValues();
    // Deletes the subkey with everything below it.
    void DeleteTree(const std::string& name);

    // True when text has the form of a security-descriptor string
    // ("O:BAG:SYD:(A;;KA;;;SY)").
    static bool IsSecurityDescriptorText(const std::string& text);

private:
    // The held key; throws 6 (invalid handle) when none is.
    const RegistryStore::Key& Held() const;
    // Queries into a buffer of the given size, growing it to the reported
    // size once when it is too small. Returns the store's result.
    uint32_t QueryGrowing(const std::string& name, uint32_t initial_size, uint32_t* type,
                          std::string* data) const;
    void SetValue(const std::string& name, uint32_t type, const std::string& data);
    void CopyTree(const RegistryStore::Key& source, const RegistryStore::Key& destination,
                  bool fail_if_exists);

    std::optional<RegistryStore::Key> key_;
};

// Encodes UTF-8 text as the store's string data (UTF-16LE with terminator),
// and decodes string data back (up to the first terminator).
std::string EncodeRegistryString(const std::string& text);
std::string DecodeRegistryString(const std::string& data);

// A value of RegistryKey::ReadValuesTogether, decoded as ReadString and
// ReadDword decode theirs; nullopt when it is missing or of another type.
std::optional<std::string> RegistryStringOf(const RegistryStore::ValueRead& value);
std::optional<uint32_t> RegistryDwordOf(const RegistryStore::ValueRead& value);

}  // namespace TesselSoftware
