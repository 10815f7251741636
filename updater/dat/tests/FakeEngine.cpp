// A stand-in for the engine library's update entry point, for the DAT
// updater's tests. FAKE_ENGINE_MODE selects its behaviour:
//   1  checks every block as the engine does, then writes each new file as
//      the current file followed by every patch file's bytes, in order, and
//      reports as reached the version after the last patch's "+<from>";
//   2  checks the blocks, reports an error and returns 7;
//   3  exports no AVUpdate at all;
//   4  refuses every set (AVInitialise returns 4);
//   5  crashes in AVInitialise;
//   6  a release that reaches out: on AVInitialise it tries to write a byte
//      to the file VEXOR_PROBE_FILE names and to connect to 127.0.0.1 at
//      the port VEXOR_PROBE_PORT names, and refuses to start with status
//      100 + 1 (it wrote) + 2 (it connected) when either worked.
// Every mode starts (AVInitialise) on any three readable, non-empty DAT
// files unless one of them begins with "corrupt" (status 4), "crash"
// (the process dies, as an engine meeting a hostile file might) or "hang"
// (it never returns).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "Common/Engine/EngineContract.h"

namespace {

// A version note (0.0.0.1), so releases of the stand-in can be published.
struct VersionNote {
    uint32_t name_size = 6;
    uint32_t desc_size = 8;
    uint32_t type = 1;
    char name[8] = {'V', 'e', 'x', 'o', 'r', '\0', '\0', '\0'};
    uint16_t version[4] = {0, 0, 0, 1};
};
__attribute__((section(".note.vexor.version"), used, aligned(4))) const VersionNote kNote{};

bool ReadWhole(const char* path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream content;
    content << in.rdbuf();
    *out = content.str();
    return true;
}

[[maybe_unused]] bool ListOk(const UpdateFileList* list, uint32_t min_count) {
    return list != nullptr && list->size == sizeof(UpdateFileList) && list->count >= min_count &&
           list->paths != nullptr;
}

// What mode 6 could do from inside the start check: 1 it wrote, 2 it connected.
[[maybe_unused]] uint16_t ReachOut() {
    uint16_t reached = 0;
    if (const char* path = std::getenv("VEXOR_PROBE_FILE"); path != nullptr) {
        const int file = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (file >= 0 && ::write(file, "x", 1) == 1) reached |= 1;
        if (file >= 0) ::close(file);
    }
    if (const char* port = std::getenv("VEXOR_PROBE_PORT"); port != nullptr) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(std::atoi(port)));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) reached |= 2;
        if (socket >= 0) ::close(socket);
    }
    return reached;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) uint16_t AVInitialise(
    const EngineRequest* request, EngineInitResult* result) {
    if (request == nullptr || result == nullptr || result->size != sizeof(EngineInitResult)) {
        return kEngineStatusBadArgument;
    }
#if FAKE_ENGINE_MODE == 4
    return kEngineStatusDatFile;
#elif FAKE_ENGINE_MODE == 5
    __builtin_trap();
#elif FAKE_ENGINE_MODE == 6
    if (const uint16_t reached = ReachOut(); reached != 0) return 100 + reached;
#endif
    for (uint16_t i = 0; i < request->count; ++i) {
        const EngineTagItem& item = request->items[i];
        if (item.tag != kEngineTagDatFiles) continue;
        const auto* list = reinterpret_cast<const EngineFileList*>(item.value);
        for (uint16_t f = 0; f < list->count; ++f) {
            std::string content;
            if (content = ""; ReadWhole(list->paths[f], &content) && content.rfind("crash", 0) == 0) {
                __builtin_trap();
            }
            while (content.rfind("hang", 0) == 0) ::pause();
            if (!ReadWhole(list->paths[f], &content) || content.empty() ||
                content.rfind("corrupt", 0) == 0) {
                return kEngineStatusDatFile;
            }
        }
        result->handle = 1;
        return kEngineStatusOk;
    }
    return kEngineStatusBadTag;
}

extern "C" __attribute__((visibility("default"))) uint16_t AVScanObject(uint64_t, const EngineRequest*,
                                                                       uint64_t) {
    return kEngineStatusOk;
}

extern "C" __attribute__((visibility("default"))) uint16_t AVClose(uint64_t handle) {
    return handle == 1 ? kEngineStatusOk : kEngineStatusBadHandle;
}

#if FAKE_ENGINE_MODE != 3
extern "C" __attribute__((visibility("default"))) uint16_t AVUpdate(
    const UpdateFileSet* files, const UpdateParameterList* parameters) {
    if (files == nullptr || files->size != 28 || parameters == nullptr || parameters->size != 12 ||
        parameters->count != 3 || parameters->items == nullptr) {
        return kEngineStatusBadArgument;
    }
    const UpdateParameter* items = parameters->items;
    if (items[0].size != 16 || items[0].tag != kUpdateTagInterfaceKey || items[0].length != 8 ||
        items[0].value != kEngineInterfaceKey) {
        return kEngineStatusBadKey;
    }
    const char* folder = reinterpret_cast<const char*>(items[1].value);
    if (items[1].tag != kUpdateTagEngineFolder || folder == nullptr ||
        items[1].length != std::strlen(folder) + 1) {
        return kEngineStatusBadTag;
    }
    if (items[2].tag != kUpdateTagCallback || items[2].length != 8 || items[2].value == 0) {
        return kEngineStatusBadTag;
    }
    const auto callback = reinterpret_cast<UpdateProgressCallbackFn>(items[2].value);
    if (!ListOk(files->current, 3) || !ListOk(files->next, 3) || !ListOk(files->patches, 0) ||
        files->current->count != 3 || files->next->count != 3) {
        return kEngineStatusBadArgument;
    }
    callback(files, kUpdateEventStarting, nullptr, 1);
#if FAKE_ENGINE_MODE == 2
    callback(files, kUpdateEventError, nullptr, kEngineStatusPatch);
    return kEngineStatusPatch;
#else
    std::string patches, patch;
    for (uint32_t i = 0; i < files->patches->count; ++i) {
        if (!ReadWhole(files->patches->paths[i], &patch)) {
            callback(files, kUpdateEventError, nullptr, kEngineStatusPatch);
            return kEngineStatusPatch;
        }
        patches += patch;
    }
    const uint64_t reached = patch.size() > 1 ? std::stoull(patch.substr(1)) + 1 : 0;
    for (uint32_t i = 0; i < 3; ++i) {
        std::string current;
        if (!ReadWhole(files->current->paths[i], &current)) return kEngineStatusDatFile;
        std::ofstream out(files->next->paths[i], std::ios::binary | std::ios::trunc);
        out << current << patches;
        if (!out) return kEngineStatusWrite;
    }
    callback(files, kUpdateEventReached, nullptr, reached);
    return kEngineStatusOk;
#endif
}
#endif
