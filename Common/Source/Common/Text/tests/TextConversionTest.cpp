#include <gtest/gtest.h>

#include "Common/Text/TextConversion.h"

namespace TesselSoftware {
namespace {

TEST(TextConversion, RoundTripsEveryPlane) {
    const std::string text = "DAT \xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 end";
    const std::u16string wide = NarrowToWide(text);
    EXPECT_EQ(u"DAT \u00e9t\u00e9 \u20ac \U0001F600 end", wide);
    EXPECT_EQ(text, WideToNarrow(wide));
    EXPECT_EQ(u"", NarrowToWide(""));
    EXPECT_EQ("", WideToNarrow(u""));
}

// An error text naming an archive entry with a broken name stays that
// error text: each invalid byte becomes U+FFFD, the rest is kept.
TEST(TextConversion, InvalidUtf8BecomesReplacementCharactersAndTheRestStays) {
    const struct Row {
        const char* text;
        std::u16string wide;
    } rows[] = {
        {"\xC3", u"\uFFFD"},                                // truncated sequence
        {"\xC0\xAF", u"\uFFFD\uFFFD"},                       // overlong "/"
        {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},              // overlong, three bytes
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},              // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},     // above U+10FFFF
        {"\xFF", u"\uFFFD"},                                // never valid
        {"ab\x80", u"ab\uFFFD"},                             // stray continuation byte
        {"Cannot unpack '\xE9t\xE9.dat': bad CRC \xC3\xA9", u"Cannot unpack '\uFFFDt\uFFFD.dat': bad CRC \u00e9"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(row.wide, NarrowToWide(row.text));
        EXPECT_FALSE(TryNarrowToWide(row.text).has_value());
        EXPECT_FALSE(IsValidUtf8(row.text));
    }
}

TEST(TextConversion, LoneSurrogatesBecomeReplacementCharacters) {
    const struct Row {
        std::u16string wide;
        std::string text;
    } rows[] = {
        {std::u16string(1, char16_t(0xD800)), "\xEF\xBF\xBD"},
        {std::u16string(1, char16_t(0xDC00)), "\xEF\xBF\xBD"},
        {std::u16string{u'a', char16_t(0xD83D), u'b'}, "a\xEF\xBF\xBD" "b"},
        {std::u16string{char16_t(0xDE00), char16_t(0xD83D)}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.text, WideToNarrow(row.wide));
        EXPECT_FALSE(TryWideToNarrow(row.wide).has_value());
    }
}

TEST(TextConversion, EmbeddedNulIsKept) {
    const std::string text("a\0b", 3);
    EXPECT_EQ(3u, NarrowToWide(text).size());
    EXPECT_EQ(text, WideToNarrow(NarrowToWide(text)));
}

}  // namespace
}  // namespace TesselSoftware
