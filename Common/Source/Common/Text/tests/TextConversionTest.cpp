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

TEST(TextConversion, InvalidUtf8GivesTheFixedText) {
    const char* invalid[] = {
        "\xC3",              // truncated sequence
        "\xC0\xAF",          // overlong "/"
        "\xE0\x80\xAF",      // overlong, three bytes
        "\xED\xA0\x80",      // encoded surrogate
        "\xF4\x90\x80\x80",  // above U+10FFFF
        "\xFF",              // never valid
        "ab\x80",            // stray continuation byte
    };
    for (const char* text : invalid) {
        SCOPED_TRACE(text);
        EXPECT_EQ(u"ERROR in MB->Unicode conversion", NarrowToWide(text));
        EXPECT_FALSE(TryNarrowToWide(text).has_value());
        EXPECT_FALSE(IsValidUtf8(text));
    }
}

TEST(TextConversion, LoneSurrogatesGiveTheFixedText) {
    const std::u16string invalid[] = {
        std::u16string(1, char16_t(0xD800)),
        std::u16string(1, char16_t(0xDC00)),
        std::u16string{u'a', char16_t(0xD83D), u'b'},
        std::u16string{char16_t(0xDE00), char16_t(0xD83D)},
    };
    for (const auto& text : invalid) {
        EXPECT_EQ("ERROR in Unicode->MB conversion", WideToNarrow(text));
        EXPECT_FALSE(TryWideToNarrow(text).has_value());
    }
}

TEST(TextConversion, EmbeddedNulIsKept) {
    const std::string text("a\0b", 3);
    EXPECT_EQ(3u, NarrowToWide(text).size());
    EXPECT_EQ(text, WideToNarrow(NarrowToWide(text)));
}

}  // namespace
}  // namespace TesselSoftware
