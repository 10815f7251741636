// Percent-decoding as the URL parser uses it: decoded again until a pass
// decodes nothing, malformed sequences copied whole.
#include <gtest/gtest.h>

#include "Common/Text/PercentEncoding.h"

namespace TesselSoftware {
namespace {

TEST(PercentDecode, MalformedSequencesAreCopiedWholeAndScanningGoesOnAfterThem) {
    const struct Row {
        const char* in;
        const char* out;
    } rows[] = {
        {"%41", "A"},          {"%2541", "A"},       {"a%2fb", "a/b"},
        {"%%41", "%%41"},      {"%4%41", "%4%41"},   {"%4G%41", "%4GA"},
        {"%zz", "%zz"},        {"abc%", "abc%"},     {"abc%4", "abc%4"},
        {"%g1%41", "%g1A"},    {"", ""},
    };
    for (const Row& row : rows) EXPECT_EQ(row.out, PercentDecode(row.in)) << row.in;
}

TEST(PercentEncode, KeepsUnreservedAndEscapesEverythingElseInUpperCase) {
    EXPECT_EQ("a-._~Z9%2F%20%C3%A9", PercentEncode("a-._~Z9/ \xC3\xA9"));
}

}  // namespace
}  // namespace TesselSoftware
