// The registry store: a hierarchical, typed settings store shared by the
// service, the plug-in and the tools, kept in one SQLite database file.
//
//   auto store = RegistryStore::Default();          // honours VEXOR_SYSTEM_ROOT
//   RegistryStore::Key key;
//   uint32_t rc = store->CreateKey(store->Root(RegistryRoot::kLocalMachine),
//                                  "SOFTWARE\\Quorvane\\Vexor for Tessel",
//                                  kKeyAllAccess, &key, nullptr);
//
// Every operation returns a Win32 error number (0 on success) and behaves as
// the Windows registry does where callers can tell: key and value names
// compare case-insensitively (ASCII) and keep their spelling; value data is
// stored byte for byte with its type number, so a too-small buffer gives 234
// (more data) with the needed size, a missing value 2, the end of an
// enumeration 259. Handles carry access rights (a write through a read-only
// handle gives 5); a damaged file gives 1009.
//
// The database file is its writers' alone (0600): an account that could
// open it could hold the file locks every write waits for. Readers of a
// group-readable store (the settings) read a copy beside it instead
// ("registry.readers.db", 0640, group vexor), which every write replaces
// whole with a snapshot of the store; they read it without taking a lock,
// get 5 on writes, and see each write once it returns.
//
// Each write is one transaction, durable when the call returns. Several
// processes and threads may use the store at once; a store file that was
// deleted or replaced (another inode at the path) is reopened by the next
// call. Safe for concurrent use.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace TesselSoftware {

enum class RegistryRoot : int64_t { kLocalMachine = 1, kClassesRoot = 2 };

// Value types, with the Windows numbers.
inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegMultiSz = 7;
inline constexpr uint32_t kRegQword = 11;

// Access rights, with the Windows numbers.
inline constexpr uint32_t kKeyQueryValue = 0x0001;
inline constexpr uint32_t kKeySetValue = 0x0002;
inline constexpr uint32_t kKeyCreateSubKey = 0x0004;
inline constexpr uint32_t kKeyEnumerateSubKeys = 0x0008;
inline constexpr uint32_t kKeyNotify = 0x0010;
inline constexpr uint32_t kKeyDelete = 0x10000;
inline constexpr uint32_t kKeyRead = 0x20019;
inline constexpr uint32_t kKeyWrite = 0x20006;
inline constexpr uint32_t kKeyAllAccess = 0xF003F;

// Longest key name component and value name, in characters.
inline constexpr size_t kMaxKeyNameLength = 255;
inline constexpr size_t kMaxValueNameLength = 16383;

class RegistryStore : public std::enable_shared_from_this<RegistryStore> {
public:
    // An open key: which key, and with which rights. Cheap to copy.
    struct Key {
        std::shared_ptr<RegistryStore> store;
        int64_t id = 0;
        uint32_t access = 0;
        bool valid() const { return store != nullptr && id != 0; }
    };

    // Who may read a store: the owner and, through the readers' copy, group
    // "vexor" (the settings the gateway reads), or the owner alone (the
    // secrets). A store file this process owns is narrowed to 0600 when it
    // is opened for writing.
    enum class Visibility { kGroupReadable, kPrivate };

    // The store at the machine layout's registry store path; one object per
    // path and process.
    static std::shared_ptr<RegistryStore> Default();
    // The root-only store of passwords beside it (secrets.db), with the same
    // key and value names as the settings they belong to.
    static std::shared_ptr<RegistryStore> Secrets();
    // The first call for a path fixes its visibility.
    static std::shared_ptr<RegistryStore> ForPath(const std::string& path,
                                                  Visibility visibility = Visibility::kGroupReadable);
    // Makes ForPath(path) return store while the caller keeps it alive, so
    // tests can wrap a real store to inject faults.
    static void ServeForTesting(const std::string& path, const std::shared_ptr<RegistryStore>& store);

    virtual ~RegistryStore() = default;
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;

    // A predefined root, opened with full access.
    Key Root(RegistryRoot root);
    const std::string& path() const { return path_; }
    // True when this process can only read the database file.
    virtual bool read_only() const = 0;

    // sub_key is a "\"-separated path below parent ("" = parent itself).
    // Missing key: 2. Deleted parent: 1018.
    virtual uint32_t OpenKey(const Key& parent, std::string_view sub_key, uint32_t access,
                             Key* out) = 0;
    // Creates the missing keys of sub_key; *created tells whether the last
    // one is new (may be nullptr).
    virtual uint32_t CreateKey(const Key& parent, std::string_view sub_key, uint32_t access,
                               Key* out, bool* created) = 0;
    // Deletes a key and its values; a key that still has subkeys, or a
    // root, cannot be deleted (5).
    virtual uint32_t DeleteKey(const Key& parent, std::string_view sub_key) = 0;

    // Like RegQueryValueEx: data may be nullptr to ask for type and size;
    // *size is the buffer size in, the value's size out (also on 234).
    virtual uint32_t QueryValue(const Key& key, std::string_view name, uint32_t* type,
                                void* data, uint32_t* size) = 0;
    virtual uint32_t SetValue(const Key& key, std::string_view name, uint32_t type,
                              const void* data, uint32_t size) = 0;
    virtual uint32_t DeleteValue(const Key& key, std::string_view name) = 0;

    struct ValueWrite {
        std::string name;
        uint32_t type = kRegNone;
        std::string data;
    };
    // When readers see a write: at once (kNow), or with the next write that
    // is published (for values only the writer itself reads back, such as
    // a status it rewrites every few seconds).
    enum class ForReaders { kNow, kWithTheNextWrite };
    // Writes several values of one key in one transaction: after a crash
    // either all of them or none have their new data. On failure *failed
    // (may be nullptr) is the index of the value that could not be written.
    virtual uint32_t SetValues(const Key& key, const std::vector<ValueWrite>& values, size_t* failed,
                               ForReaders readers = ForReaders::kNow) = 0;

    struct ValueRead {
        uint32_t rc = 0;  // 0, or the value's own error (2 when it is missing)
        uint32_t type = kRegNone;
        std::string data;
    };
    // Reads several values of one key as they were at one moment (one read
    // transaction), whatever writers do meanwhile, and without any lock of
    // the writers' own. Returns the store's error for the whole read; each
    // value's own result is in (*out)[i].rc.
    virtual uint32_t QueryValues(const Key& key, const std::vector<std::string>& names,
                                 std::vector<ValueRead>* out);

    // Subkeys in case-insensitive name order; 259 past the end.
    virtual uint32_t EnumKey(const Key& key, uint32_t index, std::string* name) = 0;
    // Values in the order they were first written; 259 past the end.
    virtual uint32_t EnumValue(const Key& key, uint32_t index, std::string* name, uint32_t* type,
                               std::string* data) = 0;

protected:
    explicit RegistryStore(std::string path) : path_(std::move(path)) {}

private:
    const std::string path_;  // constant after construction
};

}  // namespace TesselSoftware
