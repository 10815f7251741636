// The engine's four C entry points. Each validates what it is given, never
// lets an exception out, and answers with a 16-bit status (0 success).
#include <memory>
#include <new>
#include <type_traits>

#include "Cleaner.h"
#include "Common/Engine/EngineContract.h"
#include "DatUpdate.h"
#include "EngineVersion.h"
#include "HandleTable.h"
#include "ObjectScanner.h"
#include "RequestParser.h"

using namespace VexorEngine;

namespace {

uint16_t Initialise(const EngineRequest* request, EngineInitResult* result) {
    if (result == nullptr || result->size != sizeof(EngineInitResult)) {
        return kEngineStatusBadArgument;
    }
    InitRequest parsed;
    if (const uint16_t status = ParseInitRequest(request, &parsed); status != kEngineStatusOk) {
        return status;
    }
    uint16_t status = kEngineStatusInternal;
    std::string error;
    std::unique_ptr<Engine> engine =
        Engine::Load(parsed.dat_paths, parsed.callback, &status, &error);
    if (!engine) {
        return status;
    }
    const EngineDatInfo* info = engine->dat_info();
    result->handle = HandleTable::Instance().Add(std::move(engine));
    result->major = BuiltEngineVersion().major;
    result->minor = BuiltEngineVersion().minor;
    result->dat_info = info;
    return kEngineStatusOk;
}

uint16_t ScanObject(uint64_t handle, const EngineRequest* request, uint64_t reserved) {
    if (reserved != 0) {
        return kEngineStatusBadArgument;
    }
    ScanRequest parsed;
    if (const uint16_t status = ParseScanRequest(request, &parsed); status != kEngineStatusOk) {
        return status;
    }
    ScanTicket ticket(handle);
    Engine* engine = ticket.get();
    if (engine == nullptr) {
        return kEngineStatusBadHandle;
    }
    CallbackChannel channel(parsed.callback ? parsed.callback : engine->callback(), parsed.context);
    {
        ObjectScope top(channel, parsed.path);
        const ScanOutcome outcome = ScanFile(*engine, channel, parsed.path);
        if (parsed.clean) {
            CleanFile(*engine, channel, parsed.path, outcome);
        }
        channel.Send(kEngineMsgSummary, uint64_t{outcome.Summary()});
    }
    return kEngineStatusOk;
}

}  // namespace

#define VEXOR_EXPORT extern "C" __attribute__((visibility("default")))

VEXOR_EXPORT uint16_t AVInitialise(const EngineRequest* request, EngineInitResult* result) {
    try {
        return Initialise(request, result);
    } catch (const std::bad_alloc&) {
        return kEngineStatusNoMemory;
    } catch (...) {
        return kEngineStatusInternal;
    }
}

VEXOR_EXPORT uint16_t AVScanObject(uint64_t handle, const EngineRequest* request,
                                   uint64_t reserved) {
    try {
        return ScanObject(handle, request, reserved);
    } catch (const std::bad_alloc&) {
        return kEngineStatusNoMemory;
    } catch (...) {
        return kEngineStatusInternal;
    }
}

VEXOR_EXPORT uint16_t AVClose(uint64_t handle) {
    try {
        return HandleTable::Instance().Close(handle);
    } catch (...) {
        return kEngineStatusInternal;
    }
}

VEXOR_EXPORT uint16_t AVUpdate(const UpdateFileSet* files, const UpdateParameterList* parameters) {
    try {
        UpdateRequest parsed;
        if (const uint16_t status = ParseUpdateRequest(files, parameters, &parsed);
            status != kEngineStatusOk) {
            if (parsed.callback != nullptr) {
                parsed.callback(files, kUpdateEventError, nullptr, status);
            }
            return status;
        }
        return RunUpdate(parsed, files);
    } catch (const std::bad_alloc&) {
        return kEngineStatusNoMemory;
    } catch (...) {
        return kEngineStatusInternal;
    }
}

// The exports keep the types the callers resolve them with.
static_assert(std::is_same_v<decltype(&AVInitialise), AVInitialiseFn>);
static_assert(std::is_same_v<decltype(&AVScanObject), AVScanObjectFn>);
static_assert(std::is_same_v<decltype(&AVClose), AVCloseFn>);
static_assert(std::is_same_v<decltype(&AVUpdate), AVUpdateFn>);
