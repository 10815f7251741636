#include <gtest/gtest.h>

#include "Common/Errors/ExceptionBase.h"
#include "Common/Text/Rc4.h"
#include "Common/Text/TLBase64.h"
#include "core/PasswordScrambler.h"

namespace TesselSoftware {
namespace {

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

TEST(CTLBase64, Rfc4648Vectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},       {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        SCOPED_TRACE(plain);
        EXPECT_EQ(encoded, CTLBase64::Encode(plain));
        EXPECT_EQ(plain, CTLBase64::Decode(encoded));
    }
}

TEST(CTLBase64, DecodeSkipsWhitespaceAndStopsGroupsAtPadding) {
    EXPECT_EQ("foobar", CTLBase64::Decode(" Zm9v\r\nYmFy\t"));
    EXPECT_EQ("f", CTLBase64::Decode("Zg=="));
    EXPECT_EQ("foo", CTLBase64::Decode("Zm9vYmFy", 3));
    const std::string binary("\x00\xFF\x80\x7F", 4);
    EXPECT_EQ(binary, CTLBase64::Decode(CTLBase64::Encode(binary)));
}

TEST(Rc4, KnownVectors) {
    EXPECT_EQ("bbf316e8d940af0ad3", Hex(Rc4Transform("Key", "Plaintext")));
    EXPECT_EQ("1021bf0420", Hex(Rc4Transform("Wiki", "pedia")));
    EXPECT_EQ("45a01f645fc35b383552544b9bf5", Hex(Rc4Transform("Secret", "Attack at dawn")));
    // RFC 6229, 40-bit key 0x0102030405, keystream at offset 0.
    EXPECT_EQ("b2396305f03dc027ccc3524a0a1118a8",
              Hex(Rc4Transform(std::string("\x01\x02\x03\x04\x05", 5), std::string(16, '\0'))));
    // RFC 6229, 128-bit key 0x0102...10, keystream at offset 0.
    EXPECT_EQ("9ac7cc9a609d1ef7b2932899cde41b97",
              Hex(Rc4Transform("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10",
                               std::string(16, '\0'))));
}

TEST(PasswordScrambler, SaltHasTopBitsSetAndLengthFollowsTheText) {
    const std::string stored = ScramblePassword("secret", 0x00000001);
    const std::string decoded = CTLBase64::Decode(stored);
    ASSERT_EQ(4u + 7u, decoded.size());
    EXPECT_EQ("81808080", Hex(decoded.substr(0, 4)));  // little-endian, top bits set
    EXPECT_EQ(16u, stored.size());                      // 4 * ceil((7 + 4) / 3)
    std::string text;
    ASSERT_TRUE(UnscramblePassword(stored, &text));
    EXPECT_EQ("secret", text);
}

TEST(PasswordScrambler, EmptyPasswordScramblesToEightCharacters) {
    const std::string stored = ScramblePassword("");
    EXPECT_EQ(8u, stored.size());
    std::string text = "x";
    EXPECT_TRUE(UnscramblePassword(stored, &text));
    EXPECT_EQ("", text);
}

TEST(PasswordScrambler, DifferentSecondsGiveDifferentTextsForOnePassword) {
    const std::string a = ScramblePassword("p@ss", 1000), b = ScramblePassword("p@ss", 1001);
    EXPECT_NE(a, b);
    std::string ta, tb;
    ASSERT_TRUE(UnscramblePassword(a, &ta));
    ASSERT_TRUE(UnscramblePassword(b, &tb));
    EXPECT_EQ(ta, tb);
}

TEST(PasswordScrambler, LongestPasswordsRoundTripAndLongerOnesFail) {
    const std::string longest(126, 'q');
    const std::string stored = ScramblePassword(longest);
    EXPECT_EQ(176u, stored.size());
    std::string text;
    ASSERT_TRUE(UnscramblePassword(stored, &text));
    EXPECT_EQ(longest, text);
    EXPECT_FALSE(UnscramblePassword(ScramblePassword(std::string(127, 'q')), &text));
    EXPECT_THROW(ScramblePassword(std::string(128, 'q')), ExceptionBase);
}

TEST(PasswordScrambler, GarbageDoesNotUnscramble) {
    std::string text = "stale";
    EXPECT_FALSE(UnscramblePassword("", &text));
    EXPECT_EQ("", text);
    EXPECT_FALSE(UnscramblePassword("QUJD", &text));          // 3 bytes
    EXPECT_FALSE(UnscramblePassword(std::string(400, 'A'), &text));
}

}  // namespace
}  // namespace TesselSoftware
