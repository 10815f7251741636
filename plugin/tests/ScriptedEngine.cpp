// A scripted stand-in for the engine library, for the plug-in's tests: it
// records every call and plays back the callback messages a test asks for.
//
// Environment (read at each call):
//   SCRIPTED_ENGINE_LOG     file that receives one line per call:
//                           "init <tags>", "scan <tags> <path>", "close <status>"
//   SCRIPTED_ENGINE_SCRIPT  messages one scan sends, ";"-separated, each
//                           "code[:parameter]" in hex; 415 takes a virus name,
//                           417 an action, 414 and 428 a number
//   SCRIPTED_ENGINE_DATE    the packed DOS date AVInitialise reports (hex)
//   SCRIPTED_ENGINE_INIT_STATUS   status AVInitialise returns (default 0)
//   SCRIPTED_ENGINE_CLOSE_FAILURES  how many AVClose calls fail first
//   SCRIPTED_ENGINE_SCAN_STATUS     status AVScanObject returns after its script
//   SCRIPTED_ENGINE_NULL_LINK       1-4: that pointer of the DAT date chain
//                                   (P, Q, R, S) is null in the start result
//   SCRIPTED_ENGINE_BLOCK_PATH      at a repair (417), this path becomes a
//                                   non-empty folder (nothing can replace it)
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "Common/Engine/EngineContract.h"

namespace {

std::mutex g_mutex;
int g_close_failures_left = -1;

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

void Record(const std::string& line) {
    const std::string path = Env("SCRIPTED_ENGINE_LOG");
    if (path.empty()) return;
    std::lock_guard lock(g_mutex);
    if (FILE* file = std::fopen(path.c_str(), "a")) {
        std::fprintf(file, "%s\n", line.c_str());
        std::fclose(file);
    }
}

std::string Tags(const EngineRequest* request) {
    std::string tags;
    for (uint16_t i = 0; i < request->count; ++i) {
        if (!tags.empty()) tags += ",";
        tags += std::to_string(request->items[i].tag);
    }
    return tags;
}

const EngineTagItem* FindTag(const EngineRequest* request, uint16_t tag) {
    for (uint16_t i = 0; i < request->count; ++i) {
        if (request->items[i].tag == tag) return &request->items[i];
    }
    return nullptr;
}

// The chain the plug-in walks for the date: P -> Q; Q+32 -> R; R -> S; S+12.
struct DatInfoChain {
    EngineDatHeaderInfo header{};
    EngineDatFileInfo files[3]{};
    EngineDatSetInfo set{};
    EngineDatInfo info{};
};
DatInfoChain g_chain;

}  // namespace

extern "C" __attribute__((visibility("default"))) uint16_t AVInitialise(
    const EngineRequest* request, EngineInitResult* result) {
    Record("init " + Tags(request));
    const std::string status = Env("SCRIPTED_ENGINE_INIT_STATUS");
    if (!status.empty() && std::atoi(status.c_str()) != 0) return std::atoi(status.c_str());
    const std::string date = Env("SCRIPTED_ENGINE_DATE");
    g_chain.header.dos_date = static_cast<uint16_t>(std::strtoul(date.c_str(), nullptr, 16));
    for (auto& file : g_chain.files) file.header = &g_chain.header;
    g_chain.set.files = g_chain.files;
    g_chain.info.set = &g_chain.set;
    result->handle = 0x5CA77E5;
    result->major = 6;
    result->minor = 1;
    result->dat_info = &g_chain.info;
    switch (std::atoi(Env("SCRIPTED_ENGINE_NULL_LINK").c_str())) {
        case 1: result->dat_info = nullptr; break;
        case 2: g_chain.info.set = nullptr; break;
        case 3: g_chain.set.files = nullptr; break;
        case 4: g_chain.files[0].header = nullptr; break;
        default: break;
    }
    {
        std::lock_guard lock(g_mutex);
        const std::string failures = Env("SCRIPTED_ENGINE_CLOSE_FAILURES");
        g_close_failures_left = failures.empty() ? 0 : std::atoi(failures.c_str());
    }
    return 0;
}

extern "C" __attribute__((visibility("default"))) uint16_t AVScanObject(
    uint64_t handle, const EngineRequest* request, uint64_t reserved) {
    if (handle != 0x5CA77E5 || reserved != 0) return kEngineStatusBadHandle;
    const EngineTagItem* object = FindTag(request, kEngineTagObject);
    const EngineTagItem* callback_item = FindTag(request, kEngineTagCallback);
    const EngineTagItem* context_item = FindTag(request, kEngineTagCallbackContext);
    if (object == nullptr || callback_item == nullptr) return kEngineStatusBadTag;
    const auto* descriptor = reinterpret_cast<const EngineObjectDescriptor*>(object->value);
    Record("scan " + Tags(request) + " " + descriptor->path);
    const auto callback = reinterpret_cast<EngineCallbackFn>(callback_item->value);
    const EngineCallbackContext context{sizeof(EngineCallbackContext), 0, 0,
                                        context_item ? context_item->value : 0};
    const std::string script = Env("SCRIPTED_ENGINE_SCRIPT");
    std::vector<std::string> names;  // keeps virus names alive during the call
    names.reserve(64);
    size_t start = 0;
    while (start < script.size()) {
        size_t end = script.find(';', start);
        if (end == std::string::npos) end = script.size();
        const std::string step = script.substr(start, end - start);
        start = end + 1;
        const size_t colon = step.find(':');
        const auto code = static_cast<uint16_t>(std::strtoul(step.substr(0, colon).c_str(), nullptr, 16));
        const std::string argument = colon == std::string::npos ? "" : step.substr(colon + 1);
        uint64_t parameter = 0;
        EngineVirusRecord virus{};
        EngineCleanRecord clean{};
        if (code == kEngineMsgInfected) {
            names.push_back(argument);
            virus.size = sizeof virus;
            virus.virus_name = names.back().c_str();
            parameter = reinterpret_cast<uint64_t>(&virus);
        } else if (code == kEngineMsgCleaned) {
            clean.size = sizeof clean;
            clean.action = static_cast<uint16_t>(std::strtoul(argument.c_str(), nullptr, 16));
            parameter = reinterpret_cast<uint64_t>(&clean);
            // A repair: the object given to the engine changes.
            if (FILE* file = std::fopen(descriptor->path, "w")) {
                std::fputs("repaired", file);
                std::fclose(file);
            }
            if (const std::string block = Env("SCRIPTED_ENGINE_BLOCK_PATH"); !block.empty()) {
                std::remove(block.c_str());
                ::mkdir(block.c_str(), 0755);
                if (FILE* file = std::fopen((block + "/keep").c_str(), "w")) std::fclose(file);
            }
        } else if (code == kEngineMsgObjectName) {
            parameter = reinterpret_cast<uint64_t>(descriptor->path);
        } else {
            parameter = std::strtoull(argument.c_str(), nullptr, 16);
        }
        callback(&context, code, 0, parameter);
    }
    return static_cast<uint16_t>(std::atoi(Env("SCRIPTED_ENGINE_SCAN_STATUS").c_str()));
}

extern "C" __attribute__((visibility("default"))) uint16_t AVClose(uint64_t /*handle*/) {
    std::lock_guard lock(g_mutex);
    if (g_close_failures_left > 0) {
        --g_close_failures_left;
        if (FILE* file = std::fopen(Env("SCRIPTED_ENGINE_LOG").c_str(), "a")) {
            std::fputs("close 6\n", file);
            std::fclose(file);
        }
        return kEngineStatusBusy;
    }
    if (FILE* file = std::fopen(Env("SCRIPTED_ENGINE_LOG").c_str(), "a")) {
        std::fputs("close 0\n", file);
        std::fclose(file);
    }
    return 0;
}
