#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "Common/Errors/Win32Error.h"
#include "Common/Registry/RegistryKey.h"
#include "TestSupport.h"

namespace TesselSoftware {
namespace {

constexpr char kProductKey[] = "SOFTWARE\\Quorvane\\Vexor for Tessel";

// Each test gets its own store under a scratch system root.
class RegistryKeyTest : public ::testing::Test {
protected:
    RegistryKeyTest() : root_env_("VEXOR_SYSTEM_ROOT", dir_.path()) {
        key_.Create(RegistryRoot::kLocalMachine, kProductKey);
    }

    // Runs fn and returns the CRegKeyException text, or "no exception".
    template <typename Fn>
    static std::string ErrorOf(Fn&& fn) {
        try {
            fn();
        } catch (const CRegKeyException& e) {
            return std::to_string(e.Code()) + ": " + e.Message();
        }
        return "no exception";
    }

    void SetRaw(const std::string& name, uint32_t type, const std::string& data) {
        const auto& handle = key_.handle();
        ASSERT_EQ(0u, handle.store->SetValue(handle, name, type, data.data(),
                                            static_cast<uint32_t>(data.size())));
    }

    Testing::ScratchDir dir_;
    Testing::ScopedEnv root_env_;
    RegistryKey key_;
};

TEST_F(RegistryKeyTest, MissingKeyMessageCarriesNumberAndText) {
    RegistryKey missing;
    EXPECT_EQ("2: Failed to open key 'SOFTWARE\\Nowhere', 2 - The system cannot find the file "
              "specified.",
              ErrorOf([&] { missing.Open(RegistryRoot::kLocalMachine, "SOFTWARE\\Nowhere", kKeyRead); }));
    EXPECT_FALSE(missing.IsOpen());
}

TEST_F(RegistryKeyTest, FailedOpenKeepsTheHeldKey) {
    RegistryKey key;
    key.Open(RegistryRoot::kLocalMachine, kProductKey, kKeyAllAccess);
    EXPECT_THROW(key.Open(RegistryRoot::kLocalMachine, "SOFTWARE\\Nowhere", kKeyRead),
                 CRegKeyException);
    ASSERT_TRUE(key.IsOpen());
    key.WriteDword("StillHere", 1);
}

TEST_F(RegistryKeyTest, CreateReportsWhetherTheKeyIsNew) {
    RegistryKey key;
    EXPECT_TRUE(key.Create(RegistryRoot::kLocalMachine, "SOFTWARE\\New\\Deep"));
    EXPECT_FALSE(key.Create(RegistryRoot::kLocalMachine, "software\\NEW\\deep"));
    EXPECT_EQ("1338: Failed to create key 'X', 1338 - The security descriptor structure is "
              "invalid.",
              ErrorOf([&] {
                  key.Create(RegistryRoot::kLocalMachine, "X", "", 0, kKeyAllAccess, "nonsense");
              }));
    EXPECT_TRUE(key.IsOpen());
}

TEST_F(RegistryKeyTest, DwordReadsTellWrongTypeFromMoreData) {
    SetRaw("OneChar", kRegSz, EncodeRegistryString("5"));    // 4 bytes: fits
    SetRaw("TwoChars", kRegSz, EncodeRegistryString("55"));  // 6 bytes: does not
    SetRaw("Number", kRegDword, std::string("\x2A\0\0\0", 4));
    uint32_t value = 0;
    EXPECT_EQ("13: Failed to query value 'OneChar', 13 - The data is invalid.",
              ErrorOf([&] { key_.ReadDword("OneChar", 7, &value); }));
    EXPECT_EQ("234: Failed to query value 'TwoChars', 234 - More data is available.",
              ErrorOf([&] { key_.ReadDword("TwoChars", 7, &value); }));
    EXPECT_FALSE(key_.ReadDword("Missing", 7, &value));
    EXPECT_EQ(7u, value);
    EXPECT_TRUE(key_.ReadDword("number", 7, &value));  // names ignore case
    EXPECT_EQ(42u, value);
    EXPECT_EQ("2: Failed to query value 'Missing', 2 - The system cannot find the file specified.",
              ErrorOf([&] { key_.ReadRequiredDword("Missing"); }));
}

TEST_F(RegistryKeyTest, BoolReadsFallBackOnEveryQueryFailureButWrongType) {
    SetRaw("OneChar", kRegSz, EncodeRegistryString("1"));
    SetRaw("Long", kRegSz, EncodeRegistryString("true"));
    SetRaw("On", kRegDword, std::string("\0\1\0\0", 4));
    bool value = false;
    EXPECT_EQ("13: Failed to query value 'OneChar', 13 - The data is invalid.",
              ErrorOf([&] { key_.ReadBool("OneChar", false, &value); }));
    EXPECT_FALSE(key_.ReadBool("Long", true, &value));
    EXPECT_TRUE(value);
    EXPECT_FALSE(key_.ReadBool("Missing", false, &value));
    EXPECT_FALSE(value);
    EXPECT_TRUE(key_.ReadBool("On", false, &value));
    EXPECT_TRUE(value);
}

TEST_F(RegistryKeyTest, QwordReadsZeroExtendADword) {
    key_.WriteDword("Small", 0xFFFFFFFFu);
    key_.WriteQword("Big", 0x123456789ABCDEF0ull);
    SetRaw("Text", kRegSz, EncodeRegistryString("abc"));          // 8 bytes: fits
    SetRaw("LongText", kRegSz, EncodeRegistryString("abcdefgh"));  // does not
    uint64_t value = 0;
    EXPECT_TRUE(key_.ReadQword("Small", 1, &value));
    EXPECT_EQ(0xFFFFFFFFull, value);
    EXPECT_TRUE(key_.ReadQword("Big", 1, &value));
    EXPECT_EQ(0x123456789ABCDEF0ull, value);
    EXPECT_EQ("13: Failed to query value 'Text', 13 - The data is invalid.",
              ErrorOf([&] { key_.ReadQword("Text", 1, &value); }));
    EXPECT_FALSE(key_.ReadQword("LongText", 3600, &value));
    EXPECT_EQ(3600u, value);
}

TEST_F(RegistryKeyTest, StringsOfAnyLengthRoundTrip) {
    const std::string long_text(300, 'd');
    key_.WriteString("DATPath", long_text);
    key_.WriteExpandString("Expand", "%ROOT%/dat");
    key_.WriteString("Unicode", "caf\xC3\xA9 \xF0\x9F\x98\x80");
    std::string value;
    EXPECT_TRUE(key_.ReadString("DATPath", "", &value));
    EXPECT_EQ(long_text, value);
    EXPECT_TRUE(key_.ReadString("Expand", "", &value));
    EXPECT_EQ("%ROOT%/dat", value);  // no expansion
    EXPECT_EQ("caf\xC3\xA9 \xF0\x9F\x98\x80", key_.ReadRequiredString("Unicode"));
    EXPECT_FALSE(key_.ReadString("Missing", "fallback", &value));
    EXPECT_EQ("fallback", value);
    key_.WriteDword("Number", 1);
    EXPECT_EQ("13: Failed to query value 'Number', 13 - The data is invalid.",
              ErrorOf([&] { key_.ReadString("Number", "", &value); }));

    uint32_t type = 0, size = 0;
    const auto& handle = key_.handle();
    ASSERT_EQ(0u, handle.store->QueryValue(handle, "DATPath", &type, nullptr, &size));
    EXPECT_EQ(kRegSz, type);
    EXPECT_EQ(602u, size);  // UTF-16 with its terminator
}

TEST_F(RegistryKeyTest, MultiStringsAndBinary) {
    key_.WriteMultiString("List", {"one", "two", "three"});
    std::vector<std::string> list;
    EXPECT_TRUE(key_.ReadMultiString("List", false, &list));
    EXPECT_EQ((std::vector<std::string>{"one", "two", "three"}), list);
    key_.WriteString("Single", "only");
    EXPECT_TRUE(key_.ReadMultiString("Single", false, &list));
    EXPECT_EQ(std::vector<std::string>{"only"}, list);
    EXPECT_FALSE(key_.ReadMultiString("Missing", false, &list));
    EXPECT_THROW(key_.ReadMultiString("Missing", true, &list), CRegKeyException);

    const std::string blob("\0\1\2\xFF", 4);
    key_.WriteBinary("Blob", blob);
    EXPECT_EQ(blob, key_.ReadBinary("Blob"));
    EXPECT_EQ("13: Failed to query value 'List', 13 - The data is invalid.",
              ErrorOf([&] { key_.ReadBinary("List"); }));
}

TEST_F(RegistryKeyTest, SecurityDescriptorsMustHaveTheTextForm) {
    key_.WriteSecurityDescriptor("Sd", "O:BAG:SYD:(A;;KA;;;SY)(A;;0x1F003F;;;S-1-1-0)");
    EXPECT_EQ("O:BAG:SYD:(A;;KA;;;SY)(A;;0x1F003F;;;S-1-1-0)", key_.ReadSecurityDescriptor("Sd"));
    EXPECT_EQ("1338: Failed to translate Security Descriptor to string, 1338 - The security "
              "descriptor structure is invalid.",
              ErrorOf([&] { key_.WriteSecurityDescriptor("Bad", "everyone may"); }));
    key_.WriteString("Plain", "not a descriptor");
    EXPECT_EQ("1338: Failed to translate Security Descriptor not a descriptor in value Plain, "
              "1338 - The security descriptor structure is invalid.",
              ErrorOf([&] { key_.ReadSecurityDescriptor("Plain"); }));
}

TEST_F(RegistryKeyTest, CaseOnlyRenamePassesThroughTheFirstFreeTemporaryName) {
    RegistryKey software;
    software.Open(RegistryRoot::kLocalMachine, "SOFTWARE", kKeyAllAccess);
    RegistryKey child;
    child.Create(software, "Vendor\\Inner");
    child.WriteString("Keep", "me");
    software.RenameKey("Vendor", "VENDOR");

    uint32_t index = 0;
    std::vector<std::string> names;
    for (std::string name; software.EnumSubKey(&index, &name);) names.push_back(name);
    EXPECT_EQ((std::vector<std::string>{"Quorvane", "VENDOR"}), names);
    RegistryKey moved;
    moved.Open(software, "VENDOR\\Inner", kKeyRead);
    EXPECT_EQ("me", moved.ReadRequiredString("Keep"));
    EXPECT_FALSE(software.SubKeyExists("TEMP$$$00000"));

    // With TEMP$$$00000 taken, the next counter is used and the taken one stays.
    RegistryKey taken;
    taken.Create(software, "TEMP$$$00000");
    software.RenameKey("VENDOR", "Vendor");
    EXPECT_TRUE(software.SubKeyExists("TEMP$$$00000"));
    EXPECT_FALSE(software.SubKeyExists("TEMP$$$00001"));
    moved.Open(software, "Vendor\\Inner", kKeyRead);
    EXPECT_EQ("me", moved.ReadRequiredString("Keep"));
}

TEST_F(RegistryKeyTest, RenameCopyAndMoveKeepTreesAndRefuseExistingTargets) {
    RegistryKey software;
    software.Open(RegistryRoot::kLocalMachine, "SOFTWARE", kKeyAllAccess);
    RegistryKey a;
    a.Create(software, "A\\B\\C");
    a.WriteQword("Deep", 9);
    RegistryKey other;
    other.Create(software, "Other");

    EXPECT_EQ("183: Failed to rename key because key already exists, 183 - Cannot create a file "
              "when that file already exists.",
              ErrorOf([&] { software.RenameKey("A", "other"); }));
    software.CopyKey("A", "Copy");
    EXPECT_EQ("183: Destination key 'Copy' already exists, 183 - Cannot create a file when that "
              "file already exists.",
              ErrorOf([&] { software.CopyKey("A", "Copy"); }));
    software.RenameKey("A", "Renamed");
    EXPECT_FALSE(software.SubKeyExists("A"));
    uint64_t value = 0;
    RegistryKey check;
    check.Open(software, "Renamed\\B\\C", kKeyRead);
    EXPECT_TRUE(check.ReadQword("Deep", 0, &value));
    EXPECT_EQ(9u, value);
    check.Open(software, "Copy\\B\\C", kKeyRead);
    EXPECT_TRUE(check.ReadQword("Deep", 0, &value));
}

TEST_F(RegistryKeyTest, ValueRenameAndCopy) {
    key_.WriteString("Old", "v");
    key_.WriteString("Taken", "t");
    EXPECT_EQ("183: Failed to rename value because value already exists, 183 - Cannot create a "
              "file when that file already exists.",
              ErrorOf([&] { key_.RenameValue("Old", "taken"); }));
    key_.RenameValue("Old", "OLD");  // case-only: the new spelling is kept
    uint32_t index = 0;
    std::string name, text;
    ASSERT_TRUE(key_.EnumStringValue(&index, &name, &text));
    EXPECT_EQ("Taken", name);
    ASSERT_TRUE(key_.EnumStringValue(&index, &name, &text));
    EXPECT_EQ("OLD", name);
    EXPECT_FALSE(key_.EnumStringValue(&index, &name, &text));

    key_.CopyValue("OLD", "Copy");
    EXPECT_EQ("v", key_.ReadRequiredString("copy"));
    EXPECT_THROW(key_.CopyValue("OLD", "Copy"), CRegKeyException);
    key_.RenameValue("Copy", "Moved");
    EXPECT_FALSE(key_.ValueExists("Copy"));
    EXPECT_TRUE(key_.ValueExists("Moved"));
    key_.WriteDword("Dword", 1);
    EXPECT_EQ("13: Failed to enumerate key, 13 - The data is invalid.", ErrorOf([&] {
                  for (uint32_t i = 0; key_.EnumStringValue(&i, &name, &text);) {
                  }
              }));
}

TEST_F(RegistryKeyTest, DeletionsAndDeletedKeyHandles) {
    RegistryKey software;
    software.Open(RegistryRoot::kLocalMachine, "SOFTWARE", kKeyAllAccess);
    RegistryKey tree;
    tree.Create(software, "Tree\\Left\\Leaf");
    tree.WriteDword("x", 1);
    RegistryKey right;
    right.Create(software, "Tree\\Right");
    EXPECT_EQ("5: Failed to delete sub key 'Tree', 5 - Access is denied.",
              ErrorOf([&] { software.DeleteSubKey("Tree"); }));
    software.DeleteTree("Tree");
    EXPECT_FALSE(software.SubKeyExists("Tree"));
    EXPECT_EQ(1018, [&] {
        try {
            right.WriteDword("y", 1);
        } catch (const CRegKeyException& e) {
            return e.Code();
        }
        return 0;
    }());

    key_.WriteDword("a", 1);
    key_.WriteDword("b", 2);
    key_.DeleteValue("A");
    EXPECT_FALSE(key_.ValueExists("a"));
    EXPECT_EQ("2: Failed to delete value 'a', 2 - The system cannot find the file specified.",
              ErrorOf([&] { key_.DeleteValue("a"); }));
    key_.DeleteAllValues();
    EXPECT_FALSE(key_.ValueExists("b"));
}

TEST_F(RegistryKeyTest, ReadOnlyHandleCannotWriteAndRemoteAlwaysFails) {
    RegistryKey reader;
    reader.Open(RegistryRoot::kLocalMachine, kProductKey, kKeyRead);
    EXPECT_EQ("5: Failed to set value 'DATPath', 5 - Access is denied.",
              ErrorOf([&] { reader.WriteString("DATPath", "/x"); }));
    EXPECT_EQ("50: Failed to connect to registry on 'gateway01', 50 - The request is not "
              "supported.",
              ErrorOf([&] { reader.ConnectRemote("gateway01", RegistryRoot::kLocalMachine); }));
    reader.Reopen();
    reader.WriteString("DATPath", "/x");  // full access after Reopen
}

TEST_F(RegistryKeyTest, ValuesWrittenTogetherChangeTogetherOrNotAtAll) {
    key_.WriteTogether({{"DATPath", true, "/dat/avvdat-2-files", 0}, {"DATVersion", false, "", 2}});
    EXPECT_EQ("/dat/avvdat-2-files", key_.ReadRequiredString("DATPath"));
    EXPECT_EQ(2u, key_.ReadRequiredDword("DATVersion"));
    // The second value cannot be stored: the first keeps its old data too.
    const std::string too_long(kMaxValueNameLength + 1, 'n');
    const std::string error = ErrorOf([&] {
        key_.WriteTogether({{"DATPath", true, "/dat/avvdat-3-files", 0}, {too_long, false, "", 3}});
    });
    EXPECT_EQ(0u, error.find("87: Failed to set value 'nnnn")) << error.substr(0, 80);
    EXPECT_EQ("/dat/avvdat-2-files", key_.ReadRequiredString("DATPath"));
}

TEST_F(RegistryKeyTest, TheStoreIsItsWritersAloneAndReadersGetACopyOfEachWrite) {
    key_.WriteString("DATPath", "/dat/avvdat-9-files");
    struct stat info;
    ASSERT_EQ(0, ::stat((dir_.path() + "/var/lib/vexor/registry.db").c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);
    const std::string copy = dir_.path() + "/var/lib/vexor/registry.readers.db";
    ASSERT_EQ(0, ::stat(copy.c_str(), &info));
    EXPECT_EQ(0640u, info.st_mode & 0777);
    // The copy is a store of its own with the write in it.
    auto store = RegistryStore::ForPath(copy);
    RegistryStore::Key product;
    ASSERT_EQ(0u, store->OpenKey(store->Root(RegistryRoot::kLocalMachine), kProductKey, kKeyRead, &product));
    std::vector<RegistryStore::ValueRead> values;
    ASSERT_EQ(0u, store->QueryValues(product, {"DATPath"}, &values));
    EXPECT_EQ("/dat/avvdat-9-files", DecodeRegistryString(values[0].data));
}

// An administrator restores or re-creates the store while a process has it
// open: the next access reads and writes the file now at the path.
TEST_F(RegistryKeyTest, AStoreFileReplacedOrDeletedIsReopened) {
    const std::string path = dir_ / "var/lib/vexor/registry.db";
    key_.WriteString("DATPath", "/dat/one");
    std::filesystem::copy_file(path, dir_ / "copy.db");
    key_.WriteString("DATPath", "/dat/two");

    std::filesystem::rename(dir_ / "copy.db", path);  // a restore of the older file
    RegistryKey reopened;
    reopened.Open(RegistryRoot::kLocalMachine, kProductKey, kKeyAllAccess);
    EXPECT_EQ("/dat/one", reopened.ReadRequiredString("DATPath"));
    reopened.WriteString("DATPath", "/dat/three");

    std::filesystem::remove(path);  // deleted: a writer starts a new store
    RegistryKey created;
    created.Create(RegistryRoot::kLocalMachine, kProductKey);
    EXPECT_FALSE(created.ValueExists("DATPath"));
    created.WriteString("DATPath", "/dat/four");
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ("/dat/four", created.ReadRequiredString("DATPath"));
}

// The passwords' store is the owner's alone, whatever the umask.
TEST_F(RegistryKeyTest, TheSecretsStoreIsCreatedOwnerOnly) {
    const mode_t old_umask = ::umask(0);
    RegistryKey secrets;
    secrets.Create(RegistryStore::Secrets()->Root(RegistryRoot::kLocalMachine), kProductKey);
    ::umask(old_umask);
    secrets.WriteString("ProxyPassword", "scrambled");
    struct stat info {};
    ASSERT_EQ(0, ::stat((dir_ / "var/lib/vexor/secrets.db").c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 07777);
    EXPECT_FALSE(key_.ValueExists("ProxyPassword"));
}

}  // namespace
}  // namespace TesselSoftware
