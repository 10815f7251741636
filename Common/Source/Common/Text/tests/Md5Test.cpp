#include <gtest/gtest.h>

#include "Common/Text/Md5.h"

namespace TesselSoftware {
namespace {

std::string Md5Of(const std::string& text) {
    Md5 md5;
    md5.Update(text.data(), text.size());
    return md5.HexDigest();
}

TEST(Md5, Rfc1321TestSuite) {
    const std::pair<const char*, const char*> suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [input, digest] : suite) {
        SCOPED_TRACE(input);
        EXPECT_EQ(digest, Md5Of(input));
    }
}

TEST(Md5, SplitUpdatesAtEveryBoundaryGiveTheSameDigest) {
    std::string data;
    for (int i = 0; i < 300; ++i) data += static_cast<char>(i * 7);
    const std::string whole = Md5Of(data);
    for (size_t cut : {1, 55, 56, 63, 64, 65, 128, 200}) {
        Md5 md5;
        md5.Update(data.data(), cut);
        md5.Update(data.data() + cut, data.size() - cut);
        EXPECT_EQ(whole, md5.HexDigest()) << cut;
    }
}

}  // namespace
}  // namespace TesselSoftware
