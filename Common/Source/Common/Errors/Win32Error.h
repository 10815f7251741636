// Win32 error numbers: the system's error vocabulary on Linux.
//
// Every failure the system reports carries a Win32 error number, so that the
// messages and edge cases written against those numbers keep their meaning.
// errno values are translated once, at the OS boundary, by ErrnoToWin32().
// The "thread's last error" of the original platform is kept per thread here.
#pragma once

#include <cstdint>
#include <string>

namespace TesselSoftware {

// The numbers the system produces or tests for, with their Windows names.
namespace Win32 {
inline constexpr uint32_t kSuccess = 0;
inline constexpr uint32_t kInvalidFunction = 1;
inline constexpr uint32_t kFileNotFound = 2;
inline constexpr uint32_t kPathNotFound = 3;
inline constexpr uint32_t kTooManyOpenFiles = 4;
inline constexpr uint32_t kAccessDenied = 5;
inline constexpr uint32_t kInvalidHandle = 6;
inline constexpr uint32_t kNotEnoughMemory = 8;
inline constexpr uint32_t kInvalidData = 13;
inline constexpr uint32_t kOutOfMemory = 14;
inline constexpr uint32_t kNotSameDevice = 17;
inline constexpr uint32_t kNoMoreFiles = 18;
inline constexpr uint32_t kWriteProtect = 19;
inline constexpr uint32_t kNotReady = 21;
inline constexpr uint32_t kCrc = 23;
inline constexpr uint32_t kWriteFault = 29;
inline constexpr uint32_t kReadFault = 30;
inline constexpr uint32_t kGenFailure = 31;
inline constexpr uint32_t kSharingViolation = 32;
inline constexpr uint32_t kLockViolation = 33;
inline constexpr uint32_t kHandleEof = 38;
inline constexpr uint32_t kHandleDiskFull = 39;
inline constexpr uint32_t kNotSupported = 50;
inline constexpr uint32_t kBadNetPath = 53;
inline constexpr uint32_t kNetNameDeleted = 64;
inline constexpr uint32_t kNetworkAccessDenied = 65;
inline constexpr uint32_t kBadDevType = 66;
inline constexpr uint32_t kBadNetName = 67;
inline constexpr uint32_t kFileExists = 80;
inline constexpr uint32_t kAlreadyAssigned = 85;
inline constexpr uint32_t kInvalidPassword = 86;
inline constexpr uint32_t kInvalidParameter = 87;
inline constexpr uint32_t kBrokenPipe = 109;
inline constexpr uint32_t kOpenFailed = 110;
inline constexpr uint32_t kDiskFull = 112;
inline constexpr uint32_t kInsufficientBuffer = 122;
inline constexpr uint32_t kInvalidName = 123;
inline constexpr uint32_t kModNotFound = 126;
inline constexpr uint32_t kProcNotFound = 127;
inline constexpr uint32_t kDirNotEmpty = 145;
inline constexpr uint32_t kBadPathName = 161;
inline constexpr uint32_t kBusy = 170;
inline constexpr uint32_t kAlreadyExists = 183;
inline constexpr uint32_t kBadExeFormat = 193;
inline constexpr uint32_t kFilenameExceedRange = 206;
inline constexpr uint32_t kMoreData = 234;
inline constexpr uint32_t kWaitTimeout = 258;
inline constexpr uint32_t kNoMoreItems = 259;
inline constexpr uint32_t kDirectory = 267;
inline constexpr uint32_t kTooManyLinks = 1142;
inline constexpr uint32_t kRegistryCorrupt = 1009;
inline constexpr uint32_t kBadKey = 1010;
inline constexpr uint32_t kCantOpenKey = 1011;
inline constexpr uint32_t kCantRead = 1012;
inline constexpr uint32_t kCantWrite = 1013;
inline constexpr uint32_t kRegistryIoFailed = 1016;
inline constexpr uint32_t kKeyDeleted = 1018;
inline constexpr uint32_t kServiceDoesNotExist = 1060;
inline constexpr uint32_t kServiceNotActive = 1062;
inline constexpr uint32_t kServiceExists = 1073;
inline constexpr uint32_t kNotFound = 1168;
inline constexpr uint32_t kBadDevice = 1200;
inline constexpr uint32_t kDeviceAlreadyRemembered = 1202;
inline constexpr uint32_t kNoNetOrBadPath = 1203;
inline constexpr uint32_t kBadProvider = 1204;
inline constexpr uint32_t kCannotOpenProfile = 1205;
inline constexpr uint32_t kBadProfile = 1206;
inline constexpr uint32_t kExtendedError = 1208;
inline constexpr uint32_t kNoNetwork = 1222;
inline constexpr uint32_t kCancelled = 1223;
inline constexpr uint32_t kTimeout = 1460;
inline constexpr uint32_t kInvalidBinding = 1702;
inline constexpr uint32_t kInvalidEndpointFormat = 1706;
inline constexpr uint32_t kTypeAlreadyRegistered = 1712;
inline constexpr uint32_t kAlreadyListening = 1713;
inline constexpr uint32_t kNoProtseqsRegistered = 1714;
inline constexpr uint32_t kUnknownInterface = 1717;
inline constexpr uint32_t kServerUnavailable = 1722;
inline constexpr uint32_t kCallFailed = 1726;
inline constexpr uint32_t kCallFailedDne = 1727;
inline constexpr uint32_t kRpcProtocolError = 1728;
inline constexpr uint32_t kDuplicateEndpoint = 1740;
inline constexpr uint32_t kProcNumOutOfRange = 1745;
inline constexpr uint32_t kNullRefPointer = 1780;
inline constexpr uint32_t kEnumValueOutOfRange = 1781;
inline constexpr uint32_t kBadStubData = 1783;
inline constexpr uint32_t kNotConnected = 2250;
inline constexpr uint32_t kOpenFiles = 2401;
inline constexpr uint32_t kDeviceInUse = 2404;
inline constexpr uint32_t kWsaConnectionRefused = 10061;
}  // namespace Win32

// Translates an errno value to the Win32 number that describes the same
// condition; values without a closer match become kGenFailure (31).
uint32_t ErrnoToWin32(int error_number);

// The calling thread's last error, as the original platform keeps it.
uint32_t GetLastError();
void SetLastError(uint32_t code);
// Sets the last error from errno and returns the translated number.
uint32_t SetLastErrorFromErrno();

// The English system text for a Win32 or Winsock number exactly as the
// system's message table holds it (with its trailing "\r\n"), or an empty
// string when the table has none.
std::string SystemErrorText(uint32_t code);

// The constant name of a Winsock error ("WSAECONNREFUSED"), or nullptr when
// the code is not one of the named Winsock codes.
const char* WinsockErrorName(uint32_t code);

}  // namespace TesselSoftware
