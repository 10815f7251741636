#include <gtest/gtest.h>

#include <cstring>

#include "Common/Errors/Win32Error.h"
#include "Common/Rpc/NdrCodec.h"
#include "Common/Rpc/RpcPdu.h"

namespace TesselSoftware {
namespace {

std::vector<uint8_t> Hex(const char* text) {
    std::vector<uint8_t> bytes;
    for (const char* p = text; *p != '\0';) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        bytes.push_back(static_cast<uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
        p += 2;
    }
    return bytes;
}

uint32_t StubErrorOf(const std::function<void()>& decode) {
    try {
        decode();
    } catch (const RpcStubException& e) {
        return static_cast<uint32_t>(e.Code());
    }
    return 0;
}

// Hand-computed NDR 2.0 for the shapes the control interface carries.
TEST(NdrCodec, EncodesToHandComputedBytes) {
    NdrWriter primitives;
    primitives.WriteSmall(1);
    primitives.WriteShort(-1);  // aligned to 2
    primitives.WriteHyper(0x0102030405060708);
    primitives.WriteEnum16(2);
    EXPECT_EQ(Hex("01 00 ffff 00000000 0807060504030201 0200"), primitives.Bytes());

    NdrWriter strings;
    strings.WriteUniqueString(u"ab");
    strings.WriteUniqueString(nullptr);
    strings.WriteUniqueString(u"");
    EXPECT_EQ(Hex("00000200 03000000 00000000 03000000 6100 6200 0000"
                  "0000 00000000"
                  "04000200 01000000 00000000 01000000 0000"),
              strings.Bytes());

    char16_t text[] = u"x";
    const VexorLogEntry entries[] = {{1, text}, {2, nullptr}};
    NdrWriter array;
    array.WriteLong(2);
    array.WriteLogEntries(entries, 2);
    EXPECT_EQ(Hex("02000000 00000200 02000000 00000000"
                  "0100000000000000 04000200 00000000"
                  "0200000000000000 00000000"
                  "02000000 00000000 02000000 7800 0000"),
              array.Bytes());

    NdrWriter empty;
    empty.WriteLogEntries(nullptr, 0);
    EXPECT_EQ(Hex("00000000"), empty.Bytes());
}

TEST(NdrCodec, DecodesWhatItEncodesWithNullDistinctFromEmpty) {
    char16_t first[] = u"first";
    const VexorLogEntry entries[] = {{10, first}, {20, nullptr}, {30, nullptr}};
    NdrWriter out;
    out.WriteUniqueString(nullptr);
    out.WriteUniqueString(u"");
    out.WriteEnum16(0x7FFF);
    out.WriteLong(3);
    out.WriteLogEntries(entries, 3);

    NdrReader in(out.Bytes());
    EXPECT_EQ(nullptr, in.ReadUniqueString());
    RpcString empty = in.ReadUniqueString();
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ(u"", std::u16string(empty.get()));
    EXPECT_EQ(0x7FFF, in.ReadEnum16());
    const int32_t count = in.ReadLong();
    VexorLogEntry* decoded = in.ReadLogEntries(count);
    in.ExpectEnd();
    ASSERT_EQ(3, count);
    EXPECT_EQ(10, decoded[0].time);
    EXPECT_EQ(u"first", std::u16string(decoded[0].text));
    EXPECT_EQ(nullptr, decoded[1].text);
    EXPECT_EQ(30, decoded[2].time);
    FreeLogEntries(decoded, count);
}

TEST(NdrCodec, EnumerationsAbove0x7FFFCannotBeSent) {
    for (int32_t value : {0x8000, 0xFFFF, -1}) {
        NdrWriter out;
        EXPECT_EQ(Win32::kEnumValueOutOfRange, StubErrorOf([&] { out.WriteEnum16(value); })) << value;
        EXPECT_TRUE(out.Bytes().empty());
    }
    const auto wire = Hex("0080");
    EXPECT_EQ(Win32::kBadStubData, StubErrorOf([&] { NdrReader(wire).ReadEnum16(); }));
}

TEST(NdrCodec, MalformedStringsAndArraysAreBadStubData) {
    struct Row {
        const char* name;
        const char* hex;
    } rows[] = {
        {"truncated referent", "0000"},
        {"truncated counts", "00000200 02000000"},
        {"nonzero offset", "00000200 02000000 01000000 01000000 0000"},
        {"actual above maximum", "00000200 01000000 00000000 02000000 6100 0000"},
        {"zero actual count", "00000200 00000000 00000000 00000000"},
        {"no terminator", "00000200 02000000 00000000 02000000 6100 6200"},
        {"inner terminator", "00000200 03000000 00000000 03000000 6100 0000 0000"},
        {"count beyond the frame", "00000200 ffffff7f 00000000 ffffff7f 6100"},
    };
    for (const Row& row : rows) {
        const auto wire = Hex(row.hex);
        EXPECT_EQ(Win32::kBadStubData, StubErrorOf([&] { NdrReader(wire).ReadUniqueString(); })) << row.name;
    }
    struct ArrayRow {
        const char* name;
        int32_t count;
        const char* hex;
    } arrays[] = {
        {"conformance differs from the count", 1, "00000200 02000000 0100000000000000 00000000"},
        {"negative count", -1, "00000200 ffffffff"},
        {"count beyond the frame", 100000, "00000200 a0860100 00000000"},
        {"missing text", 1, "00000200 01000000 0100000000000000 04000200"},
    };
    for (const ArrayRow& row : arrays) {
        const auto wire = Hex(row.hex);
        EXPECT_EQ(Win32::kBadStubData, StubErrorOf([&] { NdrReader(wire).ReadLogEntries(row.count); }))
            << row.name;
    }
    const auto trailing = Hex("01 0000000000000000");
    EXPECT_EQ(Win32::kBadStubData, StubErrorOf([&] {
                  NdrReader in(trailing);
                  in.ReadSmall();
                  in.ExpectEnd();
              }));
}

TEST(RpcPdu, UuidsTravelWithTheirFirstThreeFieldsLittleEndian) {
    EXPECT_EQ(Hex("04 5d 88 8a eb 1c c9 11 9f e8 08 00 2b 10 48 60"),
              std::vector<uint8_t>(NdrTransferSyntax().uuid.begin(), NdrTransferSyntax().uuid.end()));
    for (const char* bad : {"", "8a885d04-1ceb-11c9-9fe8-08002b10486", "8a885d04-1ceb-11c9-9fe8-08002b1048600",
                            "8a885d04+1ceb-11c9-9fe8-08002b104860", "8a885d04-1ceb-11c9-9fe8-08002b10486g"}) {
        EXPECT_FALSE(ParseUuid(bad)) << bad;
    }
}

TEST(RpcPdu, FragmentsCarryTheStubInOrderWithFirstAndLastFlags) {
    std::vector<uint8_t> stub(1000);
    for (size_t i = 0; i < stub.size(); ++i) stub[i] = static_cast<uint8_t>(i * 7);
    const auto fragments = BuildRequestFragments(9, 0, 4, stub, 200);
    ASSERT_EQ(6u, fragments.size());  // 176 stub bytes per 200-byte fragment
    std::vector<uint8_t> joined;
    for (size_t i = 0; i < fragments.size(); ++i) {
        RequestPdu request;
        ASSERT_TRUE(ParseRequest(fragments[i], &request));
        EXPECT_LE(fragments[i].size(), 200u);
        EXPECT_EQ(i == 0, (request.header.flags & kPfcFirstFrag) != 0);
        EXPECT_EQ(i + 1 == fragments.size(), (request.header.flags & kPfcLastFrag) != 0);
        EXPECT_EQ(4, request.opnum);
        joined.insert(joined.end(), request.stub.begin(), request.stub.end());
    }
    EXPECT_EQ(stub, joined);
    EXPECT_EQ(1u, BuildResponseFragments(9, 0, {}, 200).size());  // an empty stub still answers
}

}  // namespace
}  // namespace TesselSoftware
