// TSVexor scanner plug-in: the interface a gateway host uses.
//
//   auto create = (CreateScannerInterfaceFn)dlsym(lib, "CreateScannerInterface");
//   IScanner* scanner = create(kScannerInterfaceVersion);
//   scanner->SetLogger(&my_logger);                          // optional
//   ScannerOptions options{};  ScannerInfo info{};  ScannerText error{};
//   if (scanner->Initialise(&options, &info, &error) == 0) {
//       ScannerText virus{}, message{};
//       int32_t code = scanner->ScanFile("/spool/msg.eml", &virus, &message);
//   }
//   scanner->Uninitialise();
//   scanner->Release();
//
// The host calls the interfaces by vtable slot, so their order is the
// contract (slots 0-10 below). Texts come back in host-owned ScannerText
// slots holding malloc'ed strings: the plug-in frees the previous string of
// a slot before it stores a new one; the host frees the last one with free().
// No exception ever leaves the plug-in. One scanner object must be used by
// one thread at a time; use one object per scanning thread.
#ifndef TSVEXOR_SCANNER_H
#define TSVEXOR_SCANNER_H

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t kScannerInterfaceVersion = 0x10000;
inline constexpr int32_t kScannerNoInterface = static_cast<int32_t>(0x80004002u);

// ScanFile results.
enum ScanResult : int32_t {
    kScanFailed = -1,
    kScanClean = 0,
    kScanInfected = 1,
    kScanEncrypted = 2,
    kScanCorrupt = 3,
    kScanCleanOldDat = 4,   // clean, but the DAT files are more than 30 days old
    kScanIncomplete = 6,    // contents could not be fully unpacked or analysed
};

// CleanFile results.
enum CleanResult : int32_t { kCleanFailed = -1, kCleanDone = 0, kCleanNotCleaned = 1 };

// Initialise results.
enum InitialiseResult : int32_t { kInitFailed = -1, kInitReady = 0, kInitNotReady = 1 };

// A host-owned text slot. Bytes 0-7 belong to the host and are never read
// or written by the plug-in; text is a malloc'ed NUL-terminated string or
// null.
struct ScannerText {
    uint64_t host_data;
    char* text;
};

struct ScannerOptions {
    uint64_t host_data;     // not read by the plug-in
    uint8_t extra_option;   // non-zero: every scan passes the engine's extra option
};

struct ScannerInfo {
    ScannerText product_name;     // "Vexor for Tessel"
    ScannerText vendor_name;      // "Ostrel"
    ScannerText vendor_address;   // the engine vendor's web address
    int32_t capability;           // 1
    ScannerText unused;           // cleared, never filled
    int32_t dat_folder_known;     // 1 when a DAT folder is configured
    ScannerText dat_folder;
    ScannerText engine_version;   // "major.minor"
    ScannerText dat_version;      // "version, date"
    int32_t ready;                // 1 when Initialise succeeded
};

// The host's logger. Levels: 0 detail, 1 information, 2 warnings and
// failures. Log's format is printf-style.
class IScannerLogger {
public:
    virtual uint32_t GetInterfaceVersion() = 0;                        // slot 0
    virtual void Log(int32_t level, const char* format, ...) = 0;      // slot 1

protected:
    ~IScannerLogger() = default;
};

class IScannerUnknown {
public:
    virtual int32_t QueryInterface(const void* interface_id, void** out) = 0;  // slot 0
    virtual uint32_t AddRef() = 0;                                            // slot 1
    virtual uint32_t Release() = 0;                                           // slot 2

protected:
    ~IScannerUnknown() = default;
};

class IScannerLegacy : public IScannerUnknown {
public:
    virtual int32_t Initialise(const ScannerOptions* options, ScannerInfo* info,
                               ScannerText* error) = 0;                          // slot 3
    virtual int32_t ScanFile(const char* path, ScannerText* virus_name,
                             ScannerText* message) = 0;                          // slot 4
    virtual int32_t CleanFile(const char* path, ScannerText* message) = 0;      // slot 5
    virtual void Uninitialise() = 0;                                             // slot 6
    // Slot 7: the deleting destructor. Bit 0 of flags frees the object's
    // memory. Declared as an ordinary function: a C++ virtual destructor
    // takes two slots under the Itanium ABI and would shift slots 8-10.
    virtual IScannerLegacy* DeletingDestructor(uint32_t flags) = 0;

protected:
    ~IScannerLegacy() = default;
};

class IScanner : public IScannerLegacy {
public:
    virtual uint32_t GetInterfaceVersion() = 0;             // slot 8
    virtual int32_t SetLogger(IScannerLogger* logger) = 0;  // slot 9: 1 accepted, 0 refused
    virtual IScannerLogger* GetLogger() = 0;                // slot 10

protected:
    ~IScanner() = default;
};

extern "C" {
// Returns a new scanner object with one reference for version 0x10000,
// null for any other version.
IScanner* CreateScannerInterface(uint32_t version);
typedef IScanner* (*CreateScannerInterfaceFn)(uint32_t version);
}

static_assert(sizeof(ScannerText) == 16, "text slots are 16 bytes");
static_assert(offsetof(ScannerText, text) == 8, "the string pointer is at offset 8");
static_assert(offsetof(ScannerOptions, extra_option) == 8, "the option flag is byte 8");
static_assert(sizeof(ScannerInfo) == 136, "the information record is 136 bytes");
static_assert(offsetof(ScannerInfo, vendor_name) == 16);
static_assert(offsetof(ScannerInfo, vendor_address) == 32);
static_assert(offsetof(ScannerInfo, capability) == 48);
static_assert(offsetof(ScannerInfo, unused) == 56);
static_assert(offsetof(ScannerInfo, dat_folder_known) == 72);
static_assert(offsetof(ScannerInfo, dat_folder) == 80);
static_assert(offsetof(ScannerInfo, engine_version) == 96);
static_assert(offsetof(ScannerInfo, dat_version) == 112);
static_assert(offsetof(ScannerInfo, ready) == 128);

#endif  // TSVEXOR_SCANNER_H
