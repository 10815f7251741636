// The signature list, the DAT files' bytes, and the decoder's refusal of
// every damaged or mismatched file.
#include <gtest/gtest.h>

#include "vexor/DatFormat.h"

namespace VexorEngine {
namespace {

std::string Hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const char c : bytes) {
        text += kDigits[static_cast<uint8_t>(c) >> 4];
        text += kDigits[static_cast<uint8_t>(c) & 0xF];
    }
    return text;
}

DatFiles Build(const std::string& list, const std::string& extra = "") {
    DatFiles files;
    std::string error;
    EXPECT_TRUE(BuildDatFiles(list, extra, 6543, PackDosDate(2024, 5, 17), &files, &error))
        << error;
    return files;
}

TEST(SignatureList, ParsesNamesActionsAndPatterns) {
    std::vector<Signature> signatures;
    std::string error;
    ASSERT_TRUE(
        ParseSignatureList("# comment\n\n"
                           "  Plain ; none ; 41 42 43 44  \r\n"
                           "Quoted.Name ; repair ; \"AB\" ?? 0d0A \"C;D\"\n"
                           "Last;delete;\"XYZ\"??ff",
                           &signatures, &error))
        << error;
    EXPECT_EQ(
        "Plain ; none ; 41424344\n"
        "Quoted.Name ; repair ; 4142??0d0a433b44\n"
        "Last ; delete ; 58595a??ff\n",
        FormatSignatureList(signatures));
}

TEST(SignatureList, RejectsMalformedLinesNamingTheLine) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"ok ; none ; 41424344\nbad line", "line 2: expected 'name ; action ; pattern'"},
        {"n ; clean ; 41424344", "line 1: the action must be none, repair or delete"},
        {"n ; none ; 414243", "line 1: the pattern must have 4 to 255 bytes"},
        {"n ; none ; 41 ?? 42 ?? 43 ?? 44", "line 1: the pattern needs 3 fixed bytes in a row"},
        {"n ; none ; 41424g", "line 1: unexpected pattern text at column 5"},
        {"n ; none ; \"abcd", "line 1: unterminated quoted text"},
        {" ; none ; 41424344", "line 1: the name must have 1 to 255 characters"},
        {"tab\tname ; none ; 41424344",
         "line 1: the name holds a character other than printable ASCII or ';'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<Signature> signatures;
        std::string error;
        EXPECT_FALSE(ParseSignatureList(c.text, &signatures, &error));
        EXPECT_EQ(c.error, error);
    }
}

TEST(DatFormat, FilesHaveTheDocumentedBytes) {
    const DatFiles files = Build("Test ; repair ; 41 ?? 43 44 45\n");
    // magic, format 1, date 0x58b1, version 6543, count 1, payload 8, reserved, CRC-32.
    EXPECT_EQ(
        "56585343 "
        "0100"
        "b158"
        "8f190000"
        "01000000"
        "08000000"
        "00000000"
        "00000000",
        Hex(files.scan.substr(0, 4)) + " " + Hex(files.scan.substr(4, 24)));
    EXPECT_EQ(
        "0500"
        "4100434445"
        "02",
        Hex(files.scan.substr(32)));
    EXPECT_EQ("0454657374", Hex(files.names.substr(32)));
    EXPECT_EQ("01", Hex(files.clean.substr(32)));
    EXPECT_EQ("", files.extra);
}

TEST(DatFormat, DecodesWhatItEncodes) {
    const DatFiles files =
        Build("One ; none ; \"ONE-SIGNATURE\"\nTwo ; delete ; 54 57 ?? 4f 4f 4f\n",
              "Three ; repair ; \"THREE\" ?? \"3\"\n");
    DatSet set;
    std::string error;
    ASSERT_TRUE(DecodeDatSet(files, &set, &error)) << error;
    EXPECT_EQ(6543u, set.version);
    EXPECT_EQ(0x58B1, set.dos_date);
    EXPECT_EQ("One ; none ; 4f4e452d5349474e4154555245\nTwo ; delete ; 5457??4f4f4f\n",
              FormatSignatureList(set.signatures));
    EXPECT_EQ("Three ; repair ; 5448524545??33\n", FormatSignatureList(set.extra));
}

TEST(DatFormat, EveryChangedOrMissingByteIsRefused) {
    const DatFiles good = Build("One ; none ; \"ONE-SIGNATURE\"\n", "Two ; none ; \"TWO-SIG\"\n");
    for (int kind = 0; kind < 4; ++kind) {
        const std::string& bytes = kind == 0   ? good.scan
                                   : kind == 1 ? good.names
                                   : kind == 2 ? good.clean
                                               : good.extra;
        for (size_t at = 0; at < bytes.size(); ++at) {
            SCOPED_TRACE(std::string(kDatFileNames[kind]) + " byte " + std::to_string(at));
            std::string flipped = bytes;
            flipped[at] = static_cast<char>(flipped[at] ^ 0x01);
            DatFileContent content;
            std::string error;
            EXPECT_FALSE(DecodeDatFile(flipped, static_cast<DatKind>(kind), &content, &error));
            EXPECT_FALSE(
                DecodeDatFile(bytes.substr(0, at), static_cast<DatKind>(kind), &content, &error));
        }
    }
}

TEST(DatFormat, FilesOfDifferentSetsDoNotDecodeTogether) {
    const DatFiles base = Build("One ; none ; \"ONE-SIGNATURE\"\n");
    DatFiles later;
    DatFiles two = Build("One ; none ; \"ONE-SIGNATURE\"\nTwo ; none ; \"TWO-SIGNATURE\"\n");
    std::string error;
    ASSERT_TRUE(BuildDatFiles("One ; none ; \"ONE-SIGNATURE\"\n", "", 6544,
                              PackDosDate(2024, 5, 17), &later, &error));
    const struct {
        const char* label;
        DatFiles files;
        const char* error;
    } cases[] = {
        {"names of another version",
         {base.scan, later.names, base.clean, ""},
         "avvnames.dat: version or date differs from avvscan.dat"},
        {"clean file of a bigger set",
         {base.scan, base.names, two.clean, ""},
         "avvnames.dat or avvclean.dat does not match the signature count"},
        {"names in place of scan",
         {base.names, base.names, base.clean, ""},
         "avvscan.dat: magic does not match"},
        {"extra of another version",
         {base.scan, base.names, base.clean, later.scan},
         "extra.dat: magic does not match"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        DatSet set;
        EXPECT_FALSE(DecodeDatSet(c.files, &set, &error));
        EXPECT_EQ(c.error, error);
    }
}

TEST(DatFormat, EncodeRefusesWhatCannotBeStored) {
    DatSet set;
    set.version = 1;
    set.dos_date = PackDosDate(2024, 1, 1);
    DatFiles files;
    std::string error;
    EXPECT_FALSE(EncodeDatSet(set, &files, &error));
    EXPECT_EQ("a DAT set needs at least one signature", error);
    set.signatures.push_back(Signature{"Name", CleanAction::kNone, {1, 2, 3, 4}});
    set.dos_date = 0;
    EXPECT_FALSE(EncodeDatSet(set, &files, &error));
    EXPECT_EQ("invalid DOS date", error);
    set.dos_date = PackDosDate(2024, 1, 1);
    set.signatures.front().pattern = {1, 2, 3, 0x101};
    EXPECT_FALSE(EncodeDatSet(set, &files, &error));
    EXPECT_EQ("signature 'Name': a pattern element is neither a byte nor a wildcard", error);
}

TEST(DosDate, PacksCalendarDates) {
    EXPECT_EQ(0x58B1, PackDosDate(2024, 5, 17));
    EXPECT_EQ(0x0021, PackDosDate(1980, 1, 1));
    EXPECT_EQ(0xFF9F, PackDosDate(2107, 12, 31));
    EXPECT_EQ(0, PackDosDate(1979, 12, 31));
    EXPECT_EQ(0, PackDosDate(2024, 13, 1));
    EXPECT_EQ(0, PackDosDate(2024, 2, 0));
    EXPECT_TRUE(IsValidDosDate(0x58B1));
    EXPECT_FALSE(IsValidDosDate(0x5880));  // day 0
    EXPECT_FALSE(IsValidDosDate(0x59A1));  // month 13
}

}  // namespace
}  // namespace VexorEngine
