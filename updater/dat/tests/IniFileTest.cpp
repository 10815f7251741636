#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "Common/Errors/ExceptionBase.h"
#include "TestSupport.h"
#include "dat/IniFile.h"

namespace TesselSoftware {
namespace {

class IniFileTest : public ::testing::Test {
protected:
    // Loads text; returns "" or the failure text.
    std::string Load(const std::string& text) {
        Testing::WriteFile(dir_ / "test.ini", text);
        try {
            ini_.Load(dir_ / "test.ini");
        } catch (const ExceptionBase& e) {
            return e.Message();
        }
        return "";
    }
    std::string Value(const std::string& section, const std::string& key) {
        std::string value;
        return ini_.GetValue(section, key, &value) ? value : "<missing>";
    }

    Testing::ScratchDir dir_;
    IniFile ini_;
};

// A catalogue at its cap (16 MiB of patch-table entries) is read in memory
// bounded by the file: a few times its size at most, never per-line heap
// strings. Measured in a child whose peak is reset before the load.
TEST_F(IniFileTest, MemoryIsBoundedByTheFileSize) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators change what memory is used";
#else
    std::string text = "[Contents]\r\nCurrentVersion=1000000\r\n[Multiple Patch Table]\r\n";
    for (int i = 0; text.size() < (size_t{16} << 20) - 32; ++i) text += std::to_string(i) + "=P" + std::to_string(i) + "\r\n";
    Testing::WriteFile(dir_ / "big.ini", text);
    const auto child = Testing::RunInChild(
        [&](int out) {
            const auto status_kib = [](const char* field) {
                std::ifstream status("/proc/self/status");
                for (std::string line; std::getline(status, line);) {
                    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
                }
                return -1L;
            };
            std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak to now
            const long before = status_kib("VmRSS:");
            IniFile ini;
            ini.Load(dir_ / "big.ini");
            std::string value;
            if (!ini.GetValue("Multiple Patch Table", "500000", &value) || value != "P500000") return 2;
            const std::string growth = std::to_string(status_kib("VmHWM:") - before);
            return ::write(out, growth.data(), growth.size()) < 0 ? 1 : 0;
        },
        false);
    ASSERT_EQ(0, child.status);
    const long growth_kib = std::stol(child.output);
    EXPECT_LT(growth_kib, 64 * 1024) << "peak growth " << growth_kib << " KiB";
#endif
}

TEST_F(IniFileTest, SectionsAndKeysIgnoreCase) {
    ASSERT_EQ("", Load("\n\n[AVV-ZIP]\nDATVersion=6543\n\n"));
    EXPECT_EQ("6543", Value("avv-zip", "datversion"));
    EXPECT_EQ(1u, ini_.GetSection("AVV-ZIP").size());
    EXPECT_EQ("<missing>", Value("AVV-ZIP", "Other"));
    EXPECT_EQ("<missing>", Value("Nope", "DATVersion"));
}

TEST_F(IniFileTest, LaterSectionReplacesEarlier) {
    ASSERT_EQ("", Load("[a]\nk=1\n[A]\nk=2\n"));
    ASSERT_EQ(1u, ini_.GetSection("a").size());
    EXPECT_EQ("2", Value("a", "k"));
}

TEST_F(IniFileTest, EntriesCutAtTheFirstEqualsOrSpace) {
    ASSERT_EQ("", Load("[s]\nk=v=w\nempty=\n=v\nDATVersion = 6543\n; note\ndup=first\ndup=second\n"));
    const auto& entries = ini_.GetSection("s");
    ASSERT_EQ(7u, entries.size());
    EXPECT_EQ("k", entries[0].key);
    EXPECT_EQ("v=w", entries[0].value);
    EXPECT_EQ("", entries[1].value);
    EXPECT_EQ("", entries[2].key);
    EXPECT_EQ("v", entries[2].value);
    EXPECT_EQ("DATVersion", entries[3].key);
    EXPECT_EQ("= 6543", entries[3].value);
    EXPECT_EQ(";", entries[4].key);
    EXPECT_EQ("note", entries[4].value);
    EXPECT_EQ("first", Value("s", "DUP"));
}

TEST_F(IniFileTest, HeaderNamesAreKeptUntrimmed) {
    ASSERT_EQ("", Load("[ AVV-ZIP ]\nk=1\n[]\nk=2\n"));
    EXPECT_EQ("1", Value(" AVV-ZIP ", "k"));
    EXPECT_EQ("<missing>", Value("AVV-ZIP", "k"));
    EXPECT_EQ("2", Value("", "k"));
}

TEST_F(IniFileTest, MalformedLinesFailTheLoad) {
    const std::pair<const char*, const char*> rows[] = {
        {"k=v\n", "Invalid entry, does not belong in a section"},
        {"[AVV-ZIP\nk=v\n", "Invalid line: [AVV-ZIP"},
        {"[s]\n;note\n", "Invalid entry: ;note"},
        {"[s]\nnovalue\n", "Invalid entry: novalue"},
    };
    for (const auto& [text, error] : rows) {
        SCOPED_TRACE(text);
        IniFile fresh;
        ini_.Clear();
        EXPECT_EQ(error, Load(text));
    }
    EXPECT_EQ("Cannot open '" + dir_ / "missing.ini'", [&] {
        try {
            ini_.Load(dir_ / "missing.ini");
        } catch (const ExceptionBase& e) {
            return e.Message();
        }
        return std::string();
    }());
    EXPECT_THROW(ini_.GetSection("gone"), ExceptionBase);
}

TEST_F(IniFileTest, SectionsBeforeAnErrorStay) {
    EXPECT_EQ("Invalid entry: broken", Load("[first]\nk=1\n[second]\nbroken\n"));
    EXPECT_EQ("1", Value("first", "k"));
}

TEST_F(IniFileTest, LineEndsAndSurroundingWhiteSpaceAreTrimmed) {
    ASSERT_EQ("", Load("  [Contents]  \r\n\tCurrentVersion=10001 \r\r\n \f\n"));
    EXPECT_EQ("10001", Value("contents", "currentversion"));
}

TEST_F(IniFileTest, OverlongLinesAreReadInPieces) {
    // 2000 characters: the first 1022 are one line, the rest another.
    const std::string line = "a=" + std::string(1020, 'x') + "b=" + std::string(976, 'y');
    ASSERT_EQ("", Load("[s]\n" + line + "\n"));
    const auto& entries = ini_.GetSection("s");
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ(std::string(1020, 'x'), entries[0].value);
    EXPECT_EQ("b", entries[1].key);
    EXPECT_EQ(std::string(976, 'y'), entries[1].value);
}

}  // namespace
}  // namespace TesselSoftware
