// A stand-in for the engine library's update entry point, for the DAT
// updater's tests. FAKE_ENGINE_MODE selects its behaviour:
//   1  checks every block as the engine does, then writes each new file as
//      the current file followed by every patch file's bytes, in order, and
//      reports as reached the version after the last patch's "+<from>";
//   2  checks the blocks, reports an error and returns 7;
//   3  exports no AVUpdate at all;
//   4  refuses every set (AVInitialise returns 4);
//   5  crashes in AVInitialise;
//   6  a hostile release: on AVInitialise it tries what the environment
//      names, and refuses to start with status 100 + the sum of what worked:
//        VEXOR_PROBE_FILE    write a byte to that file                      1
//        VEXOR_PROBE_PORT    connect to 127.0.0.1 at that port              2
//        VEXOR_PROBE_PID     SIGKILL that process (and the check's parent)  4
//                            and join its network namespace                64
//        VEXOR_PROBE_READ    read any of these files (':' between)          8
//        VEXOR_PROBE_CHANGE  change any of these files through mmap,
//                            truncate or unlink                            16
//        VEXOR_PROBE_FORKS   fork that many children that never end,
//                            all of them                                   32
//        VEXOR_PROBE_DAEMON  leave a double-forked daemon behind
//      Every process it starts is named "vexor-hostile".
// Every mode starts (AVInitialise) on any three readable, non-empty DAT
// files unless one of them begins with "corrupt" (status 4), "crash"
// (the process dies, as an engine meeting a hostile file might), "abort"
// (it aborts, as a failed assertion does) or "hang" (it never returns).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

std::vector<std::string> Paths(const char* list) {
    std::vector<std::string> paths;
    std::string rest = list == nullptr ? "" : list;
    for (size_t colon; !rest.empty(); rest = colon == std::string::npos ? "" : rest.substr(colon + 1)) {
        colon = rest.find(':');
        paths.push_back(rest.substr(0, colon));
    }
    return paths;
}

[[noreturn]] void StayForever() {
    ::prctl(PR_SET_NAME, "vexor-hostile");
    for (;;) ::pause();
}

bool ChangeFile(const std::string& path) {
    bool changed = false;
    const int file = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (file >= 0) {
        void* bytes = ::mmap(nullptr, 1, PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
        if (bytes != MAP_FAILED) {
            static_cast<char*>(bytes)[0] ^= 1;
            changed = ::msync(bytes, 1, MS_SYNC) == 0;
            ::munmap(bytes, 1);
        }
        ::close(file);
    }
    if (::truncate(path.c_str(), 0) == 0) changed = true;
    if (::unlink(path.c_str()) == 0) changed = true;
    return changed;
}

// What mode 6 could do from inside the start check.
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
    if (const char* pid = std::getenv("VEXOR_PROBE_PID"); pid != nullptr) {
        if (::kill(std::atoi(pid), SIGKILL) == 0) reached |= 4;
        if (::getppid() > 1 && ::kill(::getppid(), SIGKILL) == 0) reached |= 4;
        const int ns = ::open(("/proc/" + std::string(pid) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
        if (ns >= 0 && ::setns(ns, CLONE_NEWNET) == 0) reached |= 64;
        if (ns >= 0) ::close(ns);
    }
    for (const std::string& path : Paths(std::getenv("VEXOR_PROBE_READ"))) {
        char byte;
        const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (file >= 0 && ::read(file, &byte, 1) == 1) reached |= 8;
        if (file >= 0) ::close(file);
    }
    for (const std::string& path : Paths(std::getenv("VEXOR_PROBE_CHANGE"))) {
        if (ChangeFile(path)) reached |= 16;
    }
    if (std::getenv("VEXOR_PROBE_DAEMON") != nullptr) {
        if (const pid_t child = ::fork(); child == 0) {
            ::setsid();
            if (::fork() == 0) StayForever();
            ::_exit(0);
        } else if (child > 0) {
            ::waitpid(child, nullptr, 0);
        }
    }
    if (const char* forks = std::getenv("VEXOR_PROBE_FORKS"); forks != nullptr) {
        const int wanted = std::atoi(forks);
        int started = 0;
        for (int i = 0; i < wanted; ++i) {
            const pid_t child = ::fork();
            if (child == 0) StayForever();
            if (child > 0) ++started;
        }
        if (started == wanted) reached |= 32;
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
            if (content.rfind("abort", 0) == 0) std::abort();
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
