/* The records, constants and entry-point types shared by the engine library
 * (mscan64a.so), the scanner plug-in and the DAT updater.
 *
 * Every record is little-endian and laid out byte for byte as both sides
 * expect; the static assertions at the end pin sizes and offsets. Records that
 * hold an unaligned 64-bit field are packed. The header is valid C11 and C++20;
 * its names start with "Engine", "Update", "AV" or "kEngine"/"kUpdate".
 *
 * Usage (plug-in side):
 *   void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
 *   AVInitialiseFn init = (AVInitialiseFn)dlsym(lib, kEngineExportInitialise);
 *   EngineInitResult result = {0}; result.size = sizeof result;
 *   uint16_t status = init(&request, &result);
 */
#ifndef VEXOR_ENGINE_CONTRACT_H
#define VEXOR_ENGINE_CONTRACT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define VEXOR_CONTRACT_ASSERT(cond, text) static_assert(cond, text)
#else
#define VEXOR_CONTRACT_ASSERT(cond, text) _Static_assert(cond, text)
#endif

/* ---- Entry points ------------------------------------------------------ */

#define kEngineExportInitialise "AVInitialise"
#define kEngineExportScanObject "AVScanObject"
#define kEngineExportClose "AVClose"
#define kEngineExportUpdate "AVUpdate"

struct EngineRequest;
struct EngineInitResult;
struct EngineDatInfo;
struct UpdateFileSet;
struct UpdateFileList;
struct UpdateParameterList;
struct UpdateParameter;

/* Each entry point returns 0 on success and one of EngineStatus otherwise. */
typedef uint16_t (*AVInitialiseFn)(const struct EngineRequest* request,
                                   struct EngineInitResult* result);
/* reserved must be 0. */
typedef uint16_t (*AVScanObjectFn)(uint64_t handle, const struct EngineRequest* request,
                                   uint64_t reserved);
/* Non-zero while scans on the handle are still running; the handle stays valid then. */
typedef uint16_t (*AVCloseFn)(uint64_t handle);
typedef uint16_t (*AVUpdateFn)(const struct UpdateFileSet* files,
                               const struct UpdateParameterList* parameters);

/* ---- Statuses ---------------------------------------------------------- */

enum EngineStatus {
    kEngineStatusOk = 0,
    kEngineStatusBadArgument = 1, /* null pointer, wrong size field, count or reserved value */
    kEngineStatusBadTag = 2,      /* unknown, duplicate or missing tag, or a wrong length */
    kEngineStatusBadKey = 3,      /* tag 107 / 0x6B does not carry kEngineInterfaceKey */
    kEngineStatusDatFile = 4,     /* a DAT file is missing, truncated, corrupt or mismatched */
    kEngineStatusBadHandle = 5,   /* the handle is not an open engine */
    kEngineStatusBusy = 6,        /* AVClose while scans on the handle are running */
    kEngineStatusPatch = 7,       /* a patch is missing, malformed, out of chain or mismatched */
    kEngineStatusWrite = 8,       /* the new DAT files could not be written */
    kEngineStatusNoMemory = 9,
    kEngineStatusInternal = 10
};

/* The number both callers pass with tag 107 (AVInitialise) and 0x6B (AVUpdate). */
#define kEngineInterfaceKey 0x16A80002u

/* ---- Tags -------------------------------------------------------------- */

enum EngineTag {
    kEngineTagObject = 7,            /* length 28: pointer to EngineObjectDescriptor */
    kEngineTagCallback = 100,        /* length 8: EngineCallbackFn */
    kEngineTagCallbackContext = 101, /* length 8: value handed back in EngineCallbackContext */
    kEngineTagInterfaceKey = 107,    /* length 8: kEngineInterfaceKey */
    kEngineTagEngineFolder = 108,    /* length strlen + 1: narrow folder text */
    kEngineTagDatFiles = 110,        /* length 16: EngineFileList of scan, names, clean */
    kEngineTagExtraDatFiles = 112,   /* length 16: EngineFileList of one extra.dat */
    kEngineTagClean = 300,           /* flag: clean what is found */
    /* Option flags the plug-in always sends; this engine accepts them and scans the same. */
    kEngineTagOption400 = 400,
    kEngineTagOption401 = 401,
    kEngineTagOption403 = 403,
    kEngineTagOption404 = 404,
    kEngineTagOption412 = 412,
    kEngineTagOption502 = 502,
    kEngineTagOption517 = 517,
    kEngineTagOption561 = 561
};

enum UpdateTag {
    kUpdateTagCallback = 0x64,     /* length 8: UpdateProgressCallbackFn */
    kUpdateTagInterfaceKey = 0x6B, /* length 8: kEngineInterfaceKey */
    kUpdateTagEngineFolder = 0x6C  /* length strlen + 1: narrow folder text */
};

/* ---- Callback messages ------------------------------------------------- */

enum EngineMessage {
    kEngineMsgObjectName = 0x411,     /* parameter: const char* object name */
    kEngineMsgNotScanned = 0x414,     /* parameter: EngineReason */
    kEngineMsgInfected = 0x415,       /* parameter: const EngineVirusRecord* */
    kEngineMsgCleanFailed = 0x416,    /* parameter: 0 */
    kEngineMsgCleaned = 0x417,        /* parameter: const EngineCleanRecord* */
    kEngineMsgLeaveObject = 0x419,    /* parameter: 0 */
    kEngineMsgEnterObject = 0x425,    /* parameter: 0 */
    kEngineMsgContainerStart = 0x426, /* parameter: 0 */
    kEngineMsgContainerEnd = 0x427,   /* parameter: 0 */
    kEngineMsgSummary = 0x428         /* parameter: EngineSummary, sent inside the top object */
};

/* Why (part of) an object was not scanned, with kEngineMsgNotScanned. */
enum EngineReason {
    kEngineReasonLimit = 2,     /* nesting depth, member count or unpacked-size limit */
    kEngineReasonEncrypted = 3, /* encrypted container member */
    kEngineReasonReadError = 7, /* the file could not be read */
    kEngineReasonAccess = 8,    /* the file cannot be opened: permission */
    kEngineReasonNotFound = 9,  /* the file does not exist */
    kEngineReasonZeroSize = 13, /* the top object is empty */
    kEngineReasonCorrupt = 14   /* a container is damaged or truncated */
};

enum EngineSummary {
    kEngineSummaryOk = 0,              /* every byte scanned, nothing found */
    kEngineSummaryNotScannedError = 1, /* nothing found, but part could not be read */
    kEngineSummaryNotScannedLimit = 2, /* nothing found, but a limit stopped the scan */
    kEngineSummaryInfected = 3
};

/* The action reported with kEngineMsgCleaned. */
enum EngineCleanAction {
    kEngineCleanBytesRemoved = 1,  /* the signature's bytes were cut out of the object */
    kEngineCleanMemberRemoved = 2, /* the infected member was taken out of its container */
    kEngineCleanRemoval = 4        /* the object cannot be repaired and must be deleted */
};

/* AVUpdate progress events. */
enum UpdateEvent {
    kUpdateEventStarting = 1067, /* number: version of the current files */
    kUpdateEventReached = 1068,  /* number: version of the written files */
    kUpdateEventError = 1069     /* number: the EngineStatus about to be returned */
};

/* ---- Records of AVInitialise and AVScanObject -------------------------- */

struct EngineTagItem {
    uint16_t size; /* 16 */
    uint16_t tag;
    uint32_t length; /* bytes of the value; 0 for a flag tag */
    uint64_t value;  /* a number or a pointer */
};

#pragma pack(push, 1)
struct EngineRequest {
    uint16_t size; /* 12 */
    uint16_t count;
    const struct EngineTagItem* items; /* unaligned */
};

struct EngineInitResult {
    uint16_t size; /* 36, set by the caller */
    uint16_t reserved0;
    uint64_t handle; /* unaligned */
    uint32_t major;
    uint32_t minor;
    uint32_t reserved1;
    uint32_t reserved2;
    const struct EngineDatInfo* dat_info; /* unaligned */
};

struct EngineObjectDescriptor {
    uint16_t size;  /* 28 */
    uint16_t kind;  /* 4 */
    uint16_t count; /* 1 */
    uint16_t unused0;
    uint64_t reserved; /* 0 */
    const char* path;  /* narrow, NUL-terminated */
    uint32_t unused1;
};
#pragma pack(pop)

struct EngineFileList {
    uint32_t size; /* 16 */
    uint16_t count;
    uint16_t reserved; /* 0 */
    const char* const* paths;
};

/* The DAT information chain that AVInitialise hands out. It stays valid and
 * unchanged until AVClose releases the handle. The date lives at
 * info->set->files[0].header->dos_date (P -> Q; Q+32 -> R; R -> S; S+12). */
struct EngineDatHeaderInfo {
    uint32_t size; /* 24 */
    uint32_t dat_version;
    uint32_t record_count;
    uint16_t dos_date; /* bits 0-4 day, 5-8 month, 9-15 years since 1980 */
    uint16_t format;
    uint32_t checksum;
    uint32_t reserved;
};

struct EngineDatFileInfo {
    const struct EngineDatHeaderInfo* header;
    const char* path;
    uint64_t file_size;
};

struct EngineDatSetInfo {
    uint32_t size;       /* 40 */
    uint32_t file_count; /* 3, or 4 with extra.dat */
    uint32_t dat_version;
    uint32_t signature_count;
    uint16_t dos_date;
    uint16_t reserved0;
    uint32_t reserved1;
    uint64_t reserved2;
    const struct EngineDatFileInfo* files; /* scan, names, clean[, extra] */
};

struct EngineDatInfo {
    const struct EngineDatSetInfo* set;
    uint64_t reserved;
};

/* First argument of every callback; context is the value of tag 101 (0 when absent). */
struct EngineCallbackContext {
    uint16_t size; /* 16 */
    uint16_t reserved0;
    uint32_t reserved1;
    uint64_t context;
};

/* Parameter of kEngineMsgInfected. */
struct EngineVirusRecord {
    uint16_t size; /* 32 */
    uint16_t reserved;
    uint32_t signature_id;
    const char* object_name;
    const char* virus_name;
    uint64_t offset; /* of the first matching byte within the object */
};

/* Parameter of kEngineMsgCleaned. */
struct EngineCleanRecord {
    uint16_t size; /* 24 */
    uint16_t reserved0;
    uint32_t signature_id;
    uint32_t reserved1;
    uint16_t action; /* EngineCleanAction */
    uint16_t reserved2;
    const char* object_name;
};

/* The reserved argument is 0; the result is ignored. */
typedef uint32_t (*EngineCallbackFn)(const struct EngineCallbackContext* context, uint16_t message,
                                     uint64_t reserved, uint64_t parameter);

/* ---- Records of AVUpdate ----------------------------------------------- */

#pragma pack(push, 1)
struct UpdateFileSet {
    uint16_t size; /* 28 */
    uint16_t reserved;
    const struct UpdateFileList* current;
    const struct UpdateFileList* next;
    const struct UpdateFileList* patches;
};

struct UpdateFileList {
    uint32_t size; /* 16 */
    uint32_t count;
    const char* const* paths;
};

struct UpdateParameterList {
    uint16_t size;  /* 12 */
    uint16_t count; /* 3 */
    const struct UpdateParameter* items;
};
#pragma pack(pop)

struct UpdateParameter {
    uint16_t size; /* 16 */
    uint16_t tag;
    uint32_t length;
    uint64_t value;
};

/* context is the UpdateFileSet of the call, pointer is 0. The result is ignored. */
typedef uint32_t (*UpdateProgressCallbackFn)(const void* context, uint16_t event,
                                             const void* pointer, uint64_t number);

/* ---- Layout ------------------------------------------------------------ */

#define VEXOR_CONTRACT_OFFSET(type, field) __builtin_offsetof(struct type, field)

VEXOR_CONTRACT_ASSERT(sizeof(struct EngineTagItem) == 16, "EngineTagItem");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineTagItem, tag) == 2, "EngineTagItem.tag");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineTagItem, length) == 4, "EngineTagItem.length");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineTagItem, value) == 8, "EngineTagItem.value");

VEXOR_CONTRACT_ASSERT(sizeof(struct EngineRequest) == 12, "EngineRequest");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineRequest, count) == 2, "EngineRequest.count");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineRequest, items) == 4, "EngineRequest.items");

VEXOR_CONTRACT_ASSERT(sizeof(struct EngineInitResult) == 36, "EngineInitResult");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineInitResult, handle) == 4, "handle");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineInitResult, major) == 12, "major");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineInitResult, minor) == 16, "minor");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineInitResult, dat_info) == 28, "dat_info");

VEXOR_CONTRACT_ASSERT(sizeof(struct EngineObjectDescriptor) == 28, "EngineObjectDescriptor");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineObjectDescriptor, kind) == 2, "kind");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineObjectDescriptor, count) == 4, "count");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineObjectDescriptor, reserved) == 8, "reserved");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineObjectDescriptor, path) == 16, "path");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineObjectDescriptor, unused1) == 24, "unused1");

VEXOR_CONTRACT_ASSERT(sizeof(struct EngineFileList) == 16, "EngineFileList");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineFileList, count) == 4, "EngineFileList.count");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineFileList, paths) == 8, "EngineFileList.paths");

VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineDatInfo, set) == 0, "P -> Q");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineDatSetInfo, files) == 32, "Q+32 -> R");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineDatFileInfo, header) == 0, "R -> S");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineDatHeaderInfo, dos_date) == 12, "S+12");
VEXOR_CONTRACT_ASSERT(sizeof(struct EngineDatHeaderInfo) == 24, "EngineDatHeaderInfo");
VEXOR_CONTRACT_ASSERT(sizeof(struct EngineDatSetInfo) == 40, "EngineDatSetInfo");

VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineCallbackContext, context) == 8, "context+8");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineVirusRecord, virus_name) == 16, "virus+16");
VEXOR_CONTRACT_ASSERT(sizeof(struct EngineVirusRecord) == 32, "EngineVirusRecord");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(EngineCleanRecord, action) == 12, "action+12");
VEXOR_CONTRACT_ASSERT(sizeof(struct EngineCleanRecord) == 24, "EngineCleanRecord");

VEXOR_CONTRACT_ASSERT(sizeof(struct UpdateFileSet) == 28, "UpdateFileSet");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(UpdateFileSet, current) == 4, "current");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(UpdateFileSet, next) == 12, "next");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(UpdateFileSet, patches) == 20, "patches");
VEXOR_CONTRACT_ASSERT(sizeof(struct UpdateFileList) == 16, "UpdateFileList");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(UpdateFileList, count) == 4, "UpdateFileList.count");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(UpdateFileList, paths) == 8, "UpdateFileList.paths");
VEXOR_CONTRACT_ASSERT(sizeof(struct UpdateParameterList) == 12, "UpdateParameterList");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(UpdateParameterList, items) == 4, "items");
VEXOR_CONTRACT_ASSERT(sizeof(struct UpdateParameter) == 16, "UpdateParameter");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(UpdateParameter, length) == 4, "length");
VEXOR_CONTRACT_ASSERT(VEXOR_CONTRACT_OFFSET(UpdateParameter, value) == 8, "value");

#undef VEXOR_CONTRACT_OFFSET
#undef VEXOR_CONTRACT_ASSERT

#ifdef __cplusplus
}
#endif

#endif /* VEXOR_ENGINE_CONTRACT_H */
