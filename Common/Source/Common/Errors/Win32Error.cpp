// Win32 error numbers, their English system texts and the errno mapping.
#include "Common/Errors/Win32Error.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <iterator>
#include <string_view>

namespace TesselSoftware {

namespace {

struct CodeText {
    uint32_t code;
    std::string_view text;
};

// The English (language 1033) message table for every number the system can
// produce. Sorted by code; each text ends in "\r\n" as the system gives it.
constexpr CodeText kSystemTexts[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {13, "The data is invalid.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {17, "The system cannot move the file to a different disk drive.\r\n"},
    {18, "There are no more files.\r\n"},
    {19, "The media is write protected.\r\n"},
    {21, "The device is not ready.\r\n"},
    {23, "Data error (cyclic redundancy check).\r\n"},
    {29, "The system cannot write to the specified device.\r\n"},
    {30, "The system cannot read from the specified device.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {33,
     "The process cannot access the file because another process has locked a portion of the "
     "file.\r\n"},
    {38, "Reached the end of the file.\r\n"},
    {39, "The disk is full.\r\n"},
    {50, "The request is not supported.\r\n"},
    {53, "The network path was not found.\r\n"},
    {64, "The specified network name is no longer available.\r\n"},
    {65, "Network access is denied.\r\n"},
    {66, "The network resource type is not correct.\r\n"},
    {67, "The network name cannot be found.\r\n"},
    {80, "The file exists.\r\n"},
    {85, "The local device name is already in use.\r\n"},
    {86, "The specified network password is not correct.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {109, "The pipe has been ended.\r\n"},
    {110, "The system cannot open the device or file specified.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {127, "The specified procedure could not be found.\r\n"},
    {145, "The directory is not empty.\r\n"},
    {161, "The specified path is invalid.\r\n"},
    {170, "The requested resource is in use.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {193, "%1 is not a valid Win32 application.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {234, "More data is available.\r\n"},
    {258, "The wait operation timed out.\r\n"},
    {259, "No more data is available.\r\n"},
    {267, "The directory name is invalid.\r\n"},
    {1009, "The configuration registry database is corrupt.\r\n"},
    {1010, "The configuration registry key is invalid.\r\n"},
    {1011, "The configuration registry key could not be opened.\r\n"},
    {1012, "The configuration registry key could not be read.\r\n"},
    {1013, "The configuration registry key could not be written.\r\n"},
    {1016,
     "An I/O operation initiated by the registry failed unrecoverably. The registry could not "
     "read in, or write out, or flush, one of the files that contain the system's image of the "
     "registry.\r\n"},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1060, "The specified service does not exist as an installed service.\r\n"},
    {1062, "The service has not been started.\r\n"},
    {1073, "The specified service already exists.\r\n"},
    {1142, "An attempt was made to create more links on a file than the file system supports.\r\n"},
    {1168, "Element not found.\r\n"},
    {1200, "The specified device name is invalid.\r\n"},
    {1202, "The local device name has a remembered connection to another network resource.\r\n"},
    {1203, "The network path was either typed incorrectly, does not exist, or the network provider "
           "is not currently available. Please try retyping the path or contact your network "
           "administrator.\r\n"},
    {1204, "The specified network provider name is invalid.\r\n"},
    {1205, "Unable to open the network connection profile.\r\n"},
    {1206, "The network connection profile is corrupted.\r\n"},
    {1208, "An extended error has occurred.\r\n"},
    {1222, "The network is not present or not started.\r\n"},
    {1223, "The operation was canceled by the user.\r\n"},
    {1338, "The security descriptor structure is invalid.\r\n"},
    {1460, "This operation returned because the timeout period expired.\r\n"},
    {1702, "The binding handle is invalid.\r\n"},
    {1706, "The endpoint format is invalid.\r\n"},
    {1712, "The type UUID has already been registered.\r\n"},
    {1713, "The RPC server is already listening.\r\n"},
    {1714, "No protocol sequences have been registered.\r\n"},
    {1717, "The interface is unknown.\r\n"},
    {1722, "The RPC server is unavailable.\r\n"},
    {1726, "The remote procedure call failed.\r\n"},
    {1727, "The remote procedure call failed and did not execute.\r\n"},
    {1728, "A remote procedure call (RPC) protocol error occurred.\r\n"},
    {1740, "The endpoint is a duplicate.\r\n"},
    {1745, "The procedure number is out of range.\r\n"},
    {1780, "A null reference pointer was passed to the stub.\r\n"},
    {1781, "The enumeration value is out of range.\r\n"},
    {1783, "The stub received bad data.\r\n"},
    {2250, "This network connection does not exist.\r\n"},
    {2401, "This network connection has files open or requests pending.\r\n"},
    {2404, "The device is in use by an active process and cannot be disconnected.\r\n"},
};

constexpr CodeText kWinsockNames[] = {
    {10000, "WSABASEERR"},         {10004, "WSAEINTR"},
    {10009, "WSAEBADF"},           {10013, "WSAEACCES"},
    {10014, "WSAEFAULT"},          {10022, "WSAEINVAL"},
    {10024, "WSAEMFILE"},          {10035, "WSAEWOULDBLOCK"},
    {10036, "WSAEINPROGRESS"},     {10037, "WSAEALREADY"},
    {10038, "WSAENOTSOCK"},        {10039, "WSAEDESTADDRREQ"},
    {10040, "WSAEMSGSIZE"},        {10041, "WSAEPROTOTYPE"},
    {10042, "WSAENOPROTOOPT"},     {10043, "WSAEPROTONOSUPPORT"},
    {10044, "WSAESOCKTNOSUPPORT"}, {10045, "WSAEOPNOTSUPP"},
    {10046, "WSAEPFNOSUPPORT"},    {10047, "WSAEAFNOSUPPORT"},
    {10048, "WSAEADDRINUSE"},      {10049, "WSAEADDRNOTAVAIL"},
    {10050, "WSAENETDOWN"},        {10051, "WSAENETUNREACH"},
    {10052, "WSAENETRESET"},       {10053, "WSAECONNABORTED"},
    {10054, "WSAECONNRESET"},      {10055, "WSAENOBUFS"},
    {10056, "WSAEISCONN"},         {10057, "WSAENOTCONN"},
    {10058, "WSAESHUTDOWN"},       {10059, "WSAETOOMANYREFS"},
    {10060, "WSAETIMEDOUT"},       {10061, "WSAECONNREFUSED"},
    {10062, "WSAELOOP"},           {10063, "WSAENAMETOOLONG"},
    {10064, "WSAEHOSTDOWN"},       {10065, "WSAEHOSTUNREACH"},
    {10066, "WSAENOTEMPTY"},       {10067, "WSAEPROCLIM"},
    {10068, "WSAEUSERS"},          {10069, "WSAEDQUOT"},
    {10070, "WSAESTALE"},          {10071, "WSAEREMOTE"},
    {10091, "WSASYSNOTREADY"},     {10092, "WSAVERNOTSUPPORTED"},
    {10093, "WSANOTINITIALISED"},  {10101, "WSAEDISCON"},
    {11001, "WSAHOST_NOT_FOUND"},  {11002, "WSATRY_AGAIN"},
    {11003, "WSANO_RECOVERY"},     {11004, "WSANO_DATA"},
};

template <size_t N>
constexpr bool IsSortedByCode(const CodeText (&table)[N]) {
    for (size_t i = 1; i < N; ++i) {
        if (table[i - 1].code >= table[i].code) return false;
    }
    return true;
}
static_assert(IsSortedByCode(kSystemTexts), "lookup uses binary search");
static_assert(IsSortedByCode(kWinsockNames), "lookup uses binary search");

template <size_t N>
const CodeText* Find(const CodeText (&table)[N], uint32_t code) {
    auto it = std::lower_bound(std::begin(table), std::end(table), code,
                               [](const CodeText& entry, uint32_t c) { return entry.code < c; });
    return (it != std::end(table) && it->code == code) ? it : nullptr;
}

thread_local uint32_t t_last_error = 0;

}  // namespace

uint32_t ErrnoToWin32(int error_number) {
    switch (error_number) {
        case 0: return Win32::kSuccess;
        case ENOENT: return Win32::kFileNotFound;
        case ENOTDIR: return Win32::kPathNotFound;
        case ELOOP: return Win32::kPathNotFound;
        case EACCES:
        case EPERM: return Win32::kAccessDenied;
        case EROFS: return Win32::kWriteProtect;
        case EBADF: return Win32::kInvalidHandle;
        case ENOMEM: return Win32::kNotEnoughMemory;
        case EMFILE:
        case ENFILE: return Win32::kTooManyOpenFiles;
        case EEXIST: return Win32::kAlreadyExists;
        case ENOTEMPTY: return Win32::kDirNotEmpty;
        case ENOSPC:
        case EDQUOT: return Win32::kDiskFull;
        case EBUSY: return Win32::kBusy;
        case ETXTBSY: return Win32::kSharingViolation;
        case EXDEV: return Win32::kNotSameDevice;
        case EISDIR: return Win32::kAccessDenied;
        case EINVAL: return Win32::kInvalidParameter;
        case ENAMETOOLONG: return Win32::kFilenameExceedRange;
        case EIO: return Win32::kGenFailure;
        case EPIPE: return Win32::kBrokenPipe;
        case EMLINK: return Win32::kTooManyLinks;
        case ETIMEDOUT: return Win32::kTimeout;
        case ENOTSUP: return Win32::kNotSupported;
        case ECONNREFUSED: return Win32::kWsaConnectionRefused;
        case ECANCELED: return Win32::kCancelled;
        default: return Win32::kGenFailure;
    }
}

uint32_t GetLastError() { return t_last_error; }

void SetLastError(uint32_t code) { t_last_error = code; }

uint32_t SetLastErrorFromErrno() {
    t_last_error = ErrnoToWin32(errno);
    return t_last_error;
}

std::string SystemErrorText(uint32_t code) {
    const CodeText* entry = Find(kSystemTexts, code);
    return entry ? std::string(entry->text) : std::string();
}

const char* WinsockErrorName(uint32_t code) {
    const CodeText* entry = Find(kWinsockNames, code);
    return entry ? entry->text.data() : nullptr;
}

}  // namespace TesselSoftware
