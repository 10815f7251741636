#include <gtest/gtest.h>

#include <sstream>

#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "RegistryText.h"
#include "TestSupport.h"
#include "core/PasswordScrambler.h"
#include "core/UpdaterSettings.h"

namespace TesselSoftware {
namespace {

using Testing::SpawnedProcess;

struct ToolRun {
    int status;
    std::string output;
};

ToolRun RunTool(std::vector<std::string> args) {
    args.insert(args.begin(), VEXOR_REG_TOOL);
    SpawnedProcess tool(args);
    ToolRun run;
    run.status = tool.Wait(&run.output);
    return run;
}

TEST(RegistryText, KeyPathsAcceptShortAndLongRootNames) {
    auto path = ParseKeyPath("HKLM\\SOFTWARE\\Quorvane\\Vexor for Tessel");
    ASSERT_TRUE(path);
    EXPECT_EQ(RegistryRoot::kLocalMachine, path->root);
    EXPECT_EQ("SOFTWARE\\Quorvane\\Vexor for Tessel", path->sub_key);
    path = ParseKeyPath("hkey_classes_root\\x\\");
    ASSERT_TRUE(path);
    EXPECT_EQ(RegistryRoot::kClassesRoot, path->root);
    EXPECT_EQ("x", path->sub_key);
    EXPECT_FALSE(ParseKeyPath("HKCU\\Software"));
    EXPECT_EQ("HKLM", FormatKeyPath(RegistryRoot::kLocalMachine, ""));
}

TEST(RegistryText, CommandLineDataRoundTripsThroughTheStoredBytes) {
    struct Row {
        const char* type;
        const char* text;
    } rows[] = {
        {"REG_SZ", "/var/lib/vexor/dat"}, {"REG_SZ", ""},
        {"REG_EXPAND_SZ", "%ROOT%"},       {"REG_MULTI_SZ", "a|b|c"},
        {"REG_MULTI_SZ", "single"},        {"REG_DWORD", "4294967295"},
        {"REG_QWORD", "18446744073709551615"}, {"REG_BINARY", "00ff10"},
        {"REG_BINARY", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.type) + " " + row.text);
        const auto type = ParseValueType(row.type);
        ASSERT_TRUE(type);
        std::string error;
        const auto data = ParseValueData(*type, row.text, &error);
        ASSERT_TRUE(data) << error;
        EXPECT_EQ(row.text, FormatValueData(*type, *data));
    }
    EXPECT_EQ(std::string("\x10\0\0\0", 4), *ParseValueData(kRegDword, "0x10", nullptr));
    EXPECT_EQ(std::string("\x0a\0\0\0", 4), *ParseValueData(kRegDword, "010", nullptr)) << "read as octal";
    std::string error;
    for (const char* bad : {"0x", "0x-1", "0x+1", "0x 1"}) {
        EXPECT_FALSE(ParseValueData(kRegQword, bad, &error).has_value()) << bad;
    }
}

TEST(RegistryText, BadCommandLineDataIsRefused) {
    std::string error;
    EXPECT_FALSE(ParseValueData(kRegDword, "4294967296", &error));
    EXPECT_EQ("not an unsigned 32-bit number: 4294967296", error);
    EXPECT_FALSE(ParseValueData(kRegDword, "-1", &error));
    EXPECT_FALSE(ParseValueData(kRegQword, "12abc", &error));
    EXPECT_FALSE(ParseValueData(kRegBinary, "abc", &error));
    EXPECT_FALSE(ParseValueData(kRegBinary, "zz", &error));
    EXPECT_FALSE(ParseValueData(kRegSz, "bad \xFF", &error));
    EXPECT_FALSE(ParseValueType("REG_LINK_TO_NOWHERE"));
}

TEST(RegistryText, ExportImportsBackByteForByte) {
    Testing::ScratchDir dir;
    auto source = RegistryStore::ForPath(dir / "a.db");
    RegistryStore::Key key;
    ASSERT_EQ(0u, source->CreateKey(source->Root(RegistryRoot::kLocalMachine),
                                    "SOFTWARE\\Odd\tName%\\Empty", kKeyAllAccess, &key, nullptr));
    ASSERT_EQ(0u, source->CreateKey(source->Root(RegistryRoot::kLocalMachine), "SOFTWARE\\Odd\tName%",
                                    kKeyAllAccess, &key, nullptr));
    const std::string odd("\0\n\t%\xFF", 5);
    ASSERT_EQ(0u, source->SetValue(key, "line\nbreak", 77, odd.data(), 5));
    ASSERT_EQ(0u, source->SetValue(key, "DATPath", kRegSz, "x\0\0\0", 4));

    std::stringstream text;
    text << kExportHeader << "\n";
    ExportTree(*source, source->Root(RegistryRoot::kLocalMachine), "HKLM", text);
    auto copy = RegistryStore::ForPath(dir / "b.db");
    std::string error;
    ASSERT_EQ(0u, ImportText(*copy, nullptr, text, &error)) << error;

    std::stringstream again;
    again << kExportHeader << "\n";
    ExportTree(*copy, copy->Root(RegistryRoot::kLocalMachine), "HKLM", again);
    EXPECT_EQ(text.str(), again.str());
    RegistryStore::Key empty;
    EXPECT_EQ(0u, copy->OpenKey(copy->Root(RegistryRoot::kLocalMachine),
                                "SOFTWARE\\Odd\tName%\\Empty", kKeyRead, &empty));
}

TEST(RegistryText, ImportRejectsMalformedLinesWithTheirNumber) {
    Testing::ScratchDir dir;
    auto store = RegistryStore::ForPath(dir / "c.db");
    std::string error;
    std::stringstream no_header("key\tHKLM\\X\n");
    EXPECT_NE(0u, ImportText(*store, nullptr, no_header, &error));
    std::stringstream bad(std::string(kExportHeader) + "\nkey\tHKLM\\X\nvalue\tv\tREG_SZ\tzz\n");
    EXPECT_NE(0u, ImportText(*store, nullptr, bad, &error));
    EXPECT_EQ("line 3: bad value line", error);
}

class VexorRegToolTest : public ::testing::Test {
protected:
    VexorRegToolTest() : root_env_("VEXOR_SYSTEM_ROOT", dir_.path()) {}
    Testing::ScratchDir dir_;
    Testing::ScopedEnv root_env_;
};

TEST_F(VexorRegToolTest, SetGetListDeleteWithTheirExitStatuses) {
    const std::string key = "HKLM\\SOFTWARE\\Quorvane\\Vexor for Tessel";
    EXPECT_EQ(0, RunTool({"set", key, "DATFolder", "REG_SZ", "/var/lib/vexor/dat"}).status);
    EXPECT_EQ(0, RunTool({"set", key, "DATSource", "REG_DWORD", "2"}).status);
    EXPECT_EQ(0, RunTool({"set", key, "List", "REG_MULTI_SZ", "a|b"}).status);
    EXPECT_EQ(0, RunTool({"set", key + "\\Sub", "Blob", "REG_BINARY", "0a0b"}).status);

    ToolRun run = RunTool({"get", key});
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("DATFolder\tREG_SZ\t/var/lib/vexor/dat\nDATSource\tREG_DWORD\t2\nList\tREG_MULTI_SZ\ta|b\n",
              run.output);
    run = RunTool({"get", key, "datsource"});
    EXPECT_EQ("DATSource\tREG_DWORD\t2\n", run.output);
    EXPECT_EQ("Sub\n", RunTool({"list", key}).output);

    EXPECT_EQ(1, RunTool({"get", key, "Missing"}).status);
    EXPECT_EQ(1, RunTool({"get", "HKLM\\SOFTWARE\\Nowhere"}).status);
    EXPECT_EQ(2, RunTool({"set", key, "N", "REG_DWORD", "lots"}).status);
    EXPECT_EQ(2, RunTool({"get", "HKCU\\x"}).status);
    EXPECT_EQ(2, RunTool({"frobnicate"}).status);
    EXPECT_EQ(0, RunTool({"--help"}).status);

    EXPECT_EQ(0, RunTool({"delete", key, "List"}).status);
    EXPECT_EQ(1, RunTool({"delete", key, "List"}).status);
    EXPECT_EQ(0, RunTool({"delete", key}).status);
    EXPECT_EQ(1, RunTool({"list", key}).status);
}

TEST_F(VexorRegToolTest, ExportThenImportIntoAnotherRoot) {
    const std::string key = "HKLM\\SOFTWARE\\Quorvane\\Vexor for Tessel";
    ASSERT_EQ(0, RunTool({"set", key, "DATVersion", "REG_DWORD", "10001"}).status);
    const ToolRun exported = RunTool({"export", key});
    ASSERT_EQ(0, exported.status);
    Testing::WriteFile(dir_ / "settings.txt", exported.output);

    Testing::ScratchDir other;
    Testing::ScopedEnv other_root("VEXOR_SYSTEM_ROOT", other.path());
    ASSERT_EQ(0, RunTool({"import", dir_ / "settings.txt"}).status);
    EXPECT_EQ("DATVersion\tREG_DWORD\t10001\n", RunTool({"get", key, "DATVersion"}).output);
}

// Passwords live in the secrets store: exports mask them unless asked, an
// import of a masked export keeps them, and migrate-secrets moves what an
// older version left in the settings store.
TEST_F(VexorRegToolTest, PasswordsStayInTheSecretsStoreAndAreMaskedUnlessAsked) {
    const std::string key = "HKLM\\SOFTWARE\\Quorvane\\Vexor for Tessel";
    {
        RegistryKey settings;  // as an older version left it
        settings.Create(RegistryRoot::kLocalMachine, kProductKeyPath);
        settings.WriteString("ProxyPassword", "c2NyYW1ibGVk");
    }
    ASSERT_EQ(0, RunTool({"set", key, "ProxyName", "REG_SZ", "proxy.local"}).status);
    EXPECT_EQ("moved 1 password value(s) into the secrets store\n", RunTool({"migrate-secrets"}).output);
    EXPECT_EQ(1, RunTool({"get", key, "ProxyPassword"}).status);  // no longer in the settings store

    const ToolRun masked = RunTool({"export", key});
    ASSERT_EQ(0, masked.status);
    EXPECT_NE(std::string::npos, masked.output.find("masked\tProxyPassword\n")) << masked.output;
    EXPECT_EQ(std::string::npos, masked.output.find("c2NyYW1ibGVk")) << masked.output;
    const ToolRun shown = RunTool({"export", "--show-passwords", key});
    ASSERT_EQ(0, shown.status);
    EXPECT_NE(std::string::npos, shown.output.find("value\tProxyPassword\tREG_SZ\t")) << shown.output;

    // Re-importing the masked export changes no password; the full one restores it elsewhere.
    Testing::WriteFile(dir_ / "masked.txt", masked.output);
    EXPECT_EQ(0, RunTool({"import", dir_ / "masked.txt"}).status);
    EXPECT_EQ(shown.output, RunTool({"export", "--show-passwords", key}).output);
    Testing::WriteFile(dir_ / "full.txt", shown.output);
    Testing::ScratchDir other;
    Testing::ScopedEnv other_root("VEXOR_SYSTEM_ROOT", other.path());
    ASSERT_EQ(0, RunTool({"import", dir_ / "full.txt"}).status);
    EXPECT_EQ(1, RunTool({"get", key, "ProxyPassword"}).status);
    EXPECT_EQ(shown.output, RunTool({"export", "--show-passwords", key}).output);
}

// A password changed with vexor-reg after the first start moved the
// passwords is the one the next load takes, and so is one that an older
// version or an import wrote into the settings store after the move.
TEST_F(VexorRegToolTest, TheNewestPasswordIsTheOneLoadedWhicheverStoreItWasWrittenTo) {
    const std::string key = "HKLM\\SOFTWARE\\Quorvane\\Vexor for Tessel";
    const auto loaded = [] {
        UpdaterSettings settings;
        settings.Load();
        return settings.DatSourceSettings().ProxyPassword();
    };
    ASSERT_EQ(0, RunTool({"set", key, "ProxyPassword", "REG_SZ", ScramblePassword("first", 1)}).status);
    EXPECT_EQ("first", loaded());
    ASSERT_EQ(0, RunTool({"set", key, "ProxyPassword", "REG_SZ", ScramblePassword("second", 2)}).status);
    RegistryKey settings;
    settings.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
    EXPECT_FALSE(settings.ValueExists("ProxyPassword")) << "a password written where the gateway reads";
    EXPECT_EQ("second", loaded());

    settings.WriteString("ProxyPassword", ScramblePassword("third", 3));  // an older version writes
    EXPECT_EQ("third", loaded());
    EXPECT_FALSE(settings.ValueExists("ProxyPassword"));
    EXPECT_EQ("third", loaded()) << "the move did not keep the newer value";

    EXPECT_EQ(0, RunTool({"delete", key, "ProxyPassword"}).status);
    EXPECT_EQ("", loaded());
    EXPECT_EQ(1, RunTool({"delete", key, "ProxyPassword"}).status);
}

}  // namespace
}  // namespace TesselSoftware
