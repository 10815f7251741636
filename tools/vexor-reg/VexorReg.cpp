// vexor-reg: administrators' and installers' tool for the registry store.
//
//   vexor-reg get KEY [NAME]          NAME<TAB>TYPE<TAB>DATA lines
//   vexor-reg set KEY NAME TYPE DATA  TYPE: REG_SZ REG_EXPAND_SZ REG_MULTI_SZ
//                                           REG_DWORD REG_QWORD REG_BINARY
//   vexor-reg delete KEY [NAME]       a value, or the key with all below it
//   vexor-reg list KEY                subkeys, one per line
//   vexor-reg export [--show-passwords] [KEY]
//                                     text form of a tree (both roots by default),
//                                     with the secrets store's password values
//                                     (root; masked, or their scrambled form)
//   vexor-reg import FILE             applies an export ("-" = standard input)
//   vexor-reg migrate-secrets         moves passwords out of the settings store
//
// Exit status: 0 success, 1 the key or value does not exist, 2 any other
// error (the message on standard error).
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "Common/Errors/Win32Error.h"
#include "Common/Platform/MachineLayout.h"
#include "Common/Platform/NamedMutex.h"
#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "Common/Registry/SecretValues.h"
#include "RegistryText.h"

using namespace TesselSoftware;

namespace {

constexpr int kExitOk = 0, kExitMissing = 1, kExitError = 2;

constexpr char kUsage[] =
    "Usage: vexor-reg COMMAND ...\n"
    "Reads and writes the Vexor for Tessel registry store"
    " ($VEXOR_SYSTEM_ROOT/var/lib/vexor/registry.db).\n"
    "\n"
    "  get KEY [NAME]          print NAME<TAB>TYPE<TAB>DATA for one value or all values\n"
    "  set KEY NAME TYPE DATA  write a value; TYPE is REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ\n"
    "                          (strings separated by |), REG_DWORD, REG_QWORD (unsigned\n"
    "                          decimal or 0x hex) or REG_BINARY (hex digits); a password\n"
    "                          (FTPPassword, ProxyPassword, Password and their\n"
    "                          EngineUpdate... names) goes to the secrets store, as root\n"
    "  delete KEY [NAME]       delete a value (a password from both stores), or the key\n"
    "                          and everything below it\n"
    "  list KEY                print the subkeys of KEY\n"
    "  export [--show-passwords] [KEY]\n"
    "                          print KEY's tree (both roots by default) in import form;\n"
    "                          as root also the password values of the secrets store\n"
    "                          ($VEXOR_SYSTEM_ROOT/var/lib/vexor/secrets.db): masked, or\n"
    "                          with --show-passwords their stored (scrambled) form in hex,\n"
    "                          which an import restores; never the passwords in clear\n"
    "  import FILE             apply an export file (- for standard input); passwords\n"
    "                          go to the secrets store, masked ones are left as they are\n"
    "  migrate-secrets         move passwords an older version kept in the settings\n"
    "                          store into the secrets store (the package runs it)\n"
    "\n"
    "KEY is written like HKLM\\SOFTWARE\\Quorvane\\Vexor for Tessel (HKLM, HKCR, or the\n"
    "long root names). set, delete and import hold the machine-wide registry lock.\n"
    "Exit status: 0 success, 1 key or value not found, 2 any other error.\n";

// A failure with its exit status.
struct ToolError {
    int status;
    std::string message;
};

int StatusFor(uint32_t error) {
    return error == Win32::kFileNotFound || error == Win32::kPathNotFound ? kExitMissing : kExitError;
}

KeyPath ParseKeyArgument(const std::string& text) {
    auto path = ParseKeyPath(text);
    if (!path) throw ToolError{kExitError, "unknown root in key '" + text + "' (use HKLM or HKCR)"};
    return *path;
}

// Holds the registry lock for a writing command.
class RegistryLockHold {
public:
    RegistryLockHold() {
        uint32_t error = 0;
        lock_ = NamedMutex::Open(kRegistryLockName, &error);
        if (!lock_ || !lock_->Lock()) {
            throw ToolError{kExitError, "cannot take the registry lock, error " +
                                            std::to_string(lock_ ? GetLastError() : error)};
        }
    }
    ~RegistryLockHold() { lock_->Unlock(); }
    RegistryLockHold(const RegistryLockHold&) = delete;
    RegistryLockHold& operator=(const RegistryLockHold&) = delete;

private:
    std::shared_ptr<NamedMutex> lock_;
};

void PrintValue(const std::string& name, uint32_t type, const std::string& data) {
    std::cout << name << '\t' << ValueTypeName(type) << '\t' << FormatValueData(type, data) << '\n';
}

int Get(const std::vector<std::string>& args) {
    const KeyPath path = ParseKeyArgument(args[0]);
    RegistryKey key;
    key.Open(path.root, path.sub_key, kKeyRead);
    const RegistryStore::Key& handle = key.handle();
    std::string name, data;
    uint32_t type = 0;
    if (args.size() == 2) {
        for (uint32_t i = 0; handle.store->EnumValue(handle, i, &name, &type, &data) == 0; ++i) {
            if (name.size() == args[1].size() && strcasecmp(name.c_str(), args[1].c_str()) == 0) {
                PrintValue(name, type, data);
                return kExitOk;
            }
        }
        throw CRegKeyException(Win32::kFileNotFound, "Failed to query value '" + args[1] + "'");
    }
    for (uint32_t i = 0;; ++i) {
        const uint32_t rc = handle.store->EnumValue(handle, i, &name, &type, &data);
        if (rc == Win32::kNoMoreItems) break;
        if (rc != 0) throw CRegKeyException(rc, "Failed to enumerate key");
        PrintValue(name, type, data);
    }
    return kExitOk;
}

int Set(const std::vector<std::string>& args) {
    const KeyPath path = ParseKeyArgument(args[0]);
    const auto type = ParseValueType(args[2]);
    if (!type) throw ToolError{kExitError, "unknown value type '" + args[2] + "'"};
    std::string error;
    const auto data = ParseValueData(*type, args[3], &error);
    if (!data) throw ToolError{kExitError, "bad " + args[2] + " data: " + error};
    RegistryLockHold hold;
    RegistryKey key;
    key.Create(path.root, path.sub_key);
    RegistryKey target;
    if (IsSecretValueName(args[1])) {
        // Passwords never land in the store the gateway's account reads:
        // the secrets store (root's alone) takes them, and a copy an older
        // version left in the settings store goes, or the next load would
        // take that copy for the newer value.
        target.Create(RegistryStore::Secrets()->Root(path.root), path.sub_key);
    }
    const RegistryStore::Key& handle = target.IsOpen() ? target.handle() : key.handle();
    const uint32_t rc = handle.store->SetValue(handle, args[1], *type, data->data(),
                                               static_cast<uint32_t>(data->size()));
    if (rc != 0) throw CRegKeyException(rc, "Failed to set value '" + args[1] + "'");
    if (target.IsOpen() && key.ValueExists(args[1])) key.DeleteValue(args[1]);
    return kExitOk;
}

// A password wherever it is kept: the secrets store, and a copy an older
// version left in the settings store.
int DeletePassword(const KeyPath& path, RegistryKey& settings, const std::string& name) {
    bool deleted = false;
    try {
        RegistryKey secrets;
        secrets.Open(RegistryStore::Secrets()->Root(path.root), path.sub_key, kKeyAllAccess);
        if (secrets.ValueExists(name)) {
            secrets.DeleteValue(name);
            deleted = true;
        }
    } catch (const CRegKeyException& e) {
        if (e.Code() != static_cast<int32_t>(Win32::kFileNotFound)) throw;
    }
    if (settings.ValueExists(name)) {
        settings.DeleteValue(name);
        deleted = true;
    }
    if (!deleted) throw CRegKeyException(Win32::kFileNotFound, "Failed to delete value '" + name + "'");
    return kExitOk;
}

int Delete(const std::vector<std::string>& args) {
    const KeyPath path = ParseKeyArgument(args[0]);
    RegistryLockHold hold;
    if (args.size() == 2) {
        RegistryKey key;
        key.Open(path.root, path.sub_key, kKeyAllAccess);
        if (IsSecretValueName(args[1])) return DeletePassword(path, key, args[1]);
        key.DeleteValue(args[1]);
        return kExitOk;
    }
    const size_t slash = path.sub_key.rfind('\\');
    if (path.sub_key.empty()) throw ToolError{kExitError, "a root key cannot be deleted"};
    RegistryKey parent;
    parent.Open(path.root, slash == std::string::npos ? "" : path.sub_key.substr(0, slash),
                kKeyAllAccess);
    parent.DeleteTree(slash == std::string::npos ? path.sub_key : path.sub_key.substr(slash + 1));
    return kExitOk;
}

int List(const std::vector<std::string>& args) {
    const KeyPath path = ParseKeyArgument(args[0]);
    RegistryKey key;
    key.Open(path.root, path.sub_key, kKeyRead);
    uint32_t index = 0;
    for (std::string name; key.EnumSubKey(&index, &name);) std::cout << name << '\n';
    return kExitOk;
}

int Export(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    bool show_passwords = false;
    if (!args.empty() && args[0] == "--show-passwords") {
        show_passwords = true;
        args.erase(args.begin());
    }
    if (args.size() > 1) throw ToolError{kExitError, "wrong number of arguments for 'export'"};
    std::cout << kExportHeader << '\n';
    std::vector<KeyPath> roots;
    if (args.empty()) {
        roots = {{RegistryRoot::kLocalMachine, ""}, {RegistryRoot::kClassesRoot, ""}};
    } else {
        roots.push_back(ParseKeyArgument(args[0]));
    }
    for (const KeyPath& path : roots) {
        RegistryKey key;
        key.Open(path.root, path.sub_key, kKeyRead);
        ExportTree(*key.handle().store, key.handle(), FormatKeyPath(path.root, path.sub_key),
                   std::cout);
    }
    // The passwords, for an account that may read them (root).
    if (::access(MachineLayout::SecretsStorePath().c_str(), R_OK) != 0) return kExitOk;
    const auto secrets = RegistryStore::Secrets();
    for (const KeyPath& path : roots) {
        RegistryStore::Key key;
        if (secrets->OpenKey(secrets->Root(path.root), path.sub_key, kKeyRead, &key) != 0) continue;
        ExportTree(*secrets, key, FormatKeyPath(path.root, path.sub_key), std::cout, !show_passwords);
    }
    return kExitOk;
}

int MigrateSecrets(const std::vector<std::string>&) {
    RegistryLockHold hold;
    const int moved = MoveSecretsOutOfSettings(kProductKeyPath);
    if (moved > 0) std::printf("moved %d password value(s) into the secrets store\n", moved);
    return kExitOk;
}

int Import(const std::vector<std::string>& args) {
    std::ifstream file;
    std::istream* in = &std::cin;
    if (args[0] != "-") {
        file.open(args[0]);
        if (!file) throw ToolError{kExitError, "cannot open '" + args[0] + "'"};
        in = &file;
    }
    RegistryLockHold hold;
    std::string error;
    auto store = RegistryStore::Default();
    const auto secrets = RegistryStore::Secrets();
    const uint32_t rc = ImportText(*store, secrets.get(), *in, &error);
    if (rc != 0) throw CRegKeyException(rc, "Failed to import " + args[0] + ", " + error);
    return kExitOk;
}

struct Command {
    const char* name;
    size_t min_args, max_args;
    int (*run)(const std::vector<std::string>&);
};

constexpr Command kCommands[] = {
    {"get", 1, 2, Get},       {"set", 4, 4, Set},       {"delete", 1, 2, Delete},
    {"list", 1, 1, List},     {"export", 0, 2, Export}, {"import", 1, 1, Import},
    {"migrate-secrets", 0, 0, MigrateSecrets},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? kExitError : kExitOk;
    }
    const std::vector<std::string> args(argv + 2, argv + argc);
    for (const Command& command : kCommands) {
        if (std::strcmp(argv[1], command.name) != 0) continue;
        if (args.size() < command.min_args || args.size() > command.max_args) {
            std::fprintf(stderr, "vexor-reg: wrong number of arguments for '%s'\n\n%s",
                         command.name, kUsage);
            return kExitError;
        }
        try {
            return command.run(args);
        } catch (const ToolError& e) {
            std::fprintf(stderr, "vexor-reg: %s\n", e.message.c_str());
            return e.status;
        } catch (const ExceptionBase& e) {
            std::fprintf(stderr, "%s\n", e.Message().c_str());
            return StatusFor(static_cast<uint32_t>(e.Code()));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "vexor-reg: %s\n", e.what());
            return kExitError;
        }
    }
    std::fprintf(stderr, "vexor-reg: unknown command '%s'\n\n%s", argv[1], kUsage);
    return kExitError;
}
