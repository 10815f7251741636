#include <gtest/gtest.h>

#include <cerrno>

#include "Common/Errors/ErrorText.h"
#include "Common/Errors/Win32Error.h"

namespace TesselSoftware {
namespace {

TEST(FormatErrorText, StylesTable) {
    struct Row {
        uint32_t code;
        int style;
        const char* expected;
    } rows[] = {
        {5, kErrorTextAuto, "5 - Access is denied.\r\n"},
        {5, kErrorTextDecimal, "5 - Access is denied.\r\n"},
        {5, kErrorTextHex, "0x00000005 - Access is denied.\r\n"},
        {5, kErrorTextOnly, "Access is denied.\r\n"},
        {2, kErrorTextAuto, "2 - The system cannot find the file specified.\r\n"},
        {1009, kErrorTextAuto, "1009 - The configuration registry database is corrupt.\r\n"},
        {0xFFFF, kErrorTextAuto, "65535 - unknown error"},
        {0x10000, kErrorTextAuto, "0x00010000 - unknown error"},
        {0x80070005, kErrorTextAuto, "0x80070005 - unknown error"},
        {0x80070005, kErrorTextDecimal, "-2147024891 - unknown error"},
        {10061, kErrorTextAuto, "10061 - WSAECONNREFUSED"},
        {11001, kErrorTextOnly, "WSAHOST_NOT_FOUND"},
        {10000, kErrorTextAuto, "10000 - WSABASEERR"},
        {10034, kErrorTextAuto, "10034 - unknown error"},
        {10072, kErrorTextAuto, "10072 - unknown error"},
        {1722, kErrorTextAuto, "1722 - The RPC server is unavailable.\r\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.code << " style " << row.style);
        EXPECT_EQ(row.expected, FormatErrorText(row.code, row.style));
    }
}

TEST(FormatErrorText, EveryNamedWinsockCodeHasItsName) {
    const uint32_t named[] = {10000, 10004, 10009, 10013, 10014, 10022, 10024, 10091,
                              10092, 10093, 10101, 11001, 11002, 11003, 11004};
    for (uint32_t code : named) EXPECT_NE(nullptr, WinsockErrorName(code)) << code;
    for (uint32_t code = 10035; code <= 10071; ++code) {
        EXPECT_NE(nullptr, WinsockErrorName(code)) << code;
    }
    EXPECT_STREQ("WSANO_DATA", WinsockErrorName(11004));
    EXPECT_STREQ("WSAEWOULDBLOCK", WinsockErrorName(10035));
    EXPECT_STREQ("WSAEREMOTE", WinsockErrorName(10071));
    EXPECT_EQ(nullptr, WinsockErrorName(10005));
    EXPECT_EQ(nullptr, WinsockErrorName(11005));
}

TEST(FormatErrorText, NumbersTheSystemProducesAllHaveTexts) {
    const uint32_t produced[] = {2,    3,    5,    13,   32,   53,   66,   67,   85,   86,
                                 112,  145,  170,  183,  234,  259,  1009, 1200, 1202, 1203,
                                 1204, 1205, 1206, 1208, 1222, 1223, 1717, 1722, 1726, 1745,
                                 1783, 2250, 2401, 2404};
    for (uint32_t code : produced) {
        const std::string text = SystemErrorText(code);
        EXPECT_FALSE(text.empty()) << code;
        EXPECT_TRUE(text.ends_with(".\r\n")) << code;
    }
}

TEST(ErrnoToWin32, MapsTheBoundaryErrors) {
    EXPECT_EQ(Win32::kFileNotFound, ErrnoToWin32(ENOENT));
    EXPECT_EQ(Win32::kPathNotFound, ErrnoToWin32(ENOTDIR));
    EXPECT_EQ(Win32::kAccessDenied, ErrnoToWin32(EACCES));
    EXPECT_EQ(Win32::kAccessDenied, ErrnoToWin32(EPERM));
    EXPECT_EQ(Win32::kAlreadyExists, ErrnoToWin32(EEXIST));
    EXPECT_EQ(Win32::kDirNotEmpty, ErrnoToWin32(ENOTEMPTY));
    EXPECT_EQ(Win32::kDiskFull, ErrnoToWin32(ENOSPC));
    EXPECT_EQ(Win32::kBusy, ErrnoToWin32(EBUSY));
    EXPECT_EQ(Win32::kSharingViolation, ErrnoToWin32(ETXTBSY));
    EXPECT_EQ(10061u, ErrnoToWin32(ECONNREFUSED));
    EXPECT_EQ(Win32::kGenFailure, ErrnoToWin32(EHWPOISON));
}

TEST(LastError, IsKeptPerThread) {
    SetLastError(5);
    errno = ENOENT;
    EXPECT_EQ(2u, SetLastErrorFromErrno());
    EXPECT_EQ(2u, GetLastError());
}

}  // namespace
}  // namespace TesselSoftware
