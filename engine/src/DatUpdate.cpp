#include "DatUpdate.h"

#include <unistd.h>

#include "vexor/DatPatch.h"

namespace VexorEngine {

namespace {

uint16_t Update(const UpdateRequest& request, const void* context) {
    const auto report = [&](uint16_t event, uint64_t number) {
        request.callback(context, event, nullptr, number);
    };
    DatFiles files;
    std::string* contents[] = {&files.scan, &files.names, &files.clean};
    std::string error;
    for (int i = 0; i < 3; ++i) {
        if (!ReadFileBytes(request.current[i], kMaxDatFileSize, contents[i], &error)) {
            return kEngineStatusDatFile;
        }
    }
    DatSet current;
    if (!DecodeDatSet(files, &current, &error)) {
        return kEngineStatusDatFile;
    }
    report(kUpdateEventStarting, current.version);

    uint32_t version = current.version;
    uint16_t dos_date = current.dos_date;
    for (const std::string& path : request.patches) {
        std::string patch;
        PatchInfo info;
        if (!ReadFileBytes(path, kMaxPatchSize, &patch, &error) ||
            !ReadPatchInfo(patch, &info, &error) || info.from_version != version ||
            info.to_version <= info.from_version || !ApplyPatch(patch, &files, &info, &error)) {
            return kEngineStatusPatch;
        }
        version = info.to_version;
        dos_date = info.to_dos_date;
    }
    DatSet reached;
    if (!DecodeDatSet(files, &reached, &error) || reached.version != version ||
        reached.dos_date != dos_date) {
        return kEngineStatusPatch;
    }

    for (int i = 0; i < 3; ++i) {
        if (!WriteFileAtomically(request.next[i], *contents[i], &error)) {
            for (int k = 0; k < i; ++k) {
                ::unlink(request.next[k].c_str());
            }
            return kEngineStatusWrite;
        }
    }
    report(kUpdateEventReached, version);
    return kEngineStatusOk;
}

}  // namespace

uint16_t RunUpdate(const UpdateRequest& request, const void* context) {
    const uint16_t status = Update(request, context);
    if (status != kEngineStatusOk) {
        request.callback(context, kUpdateEventError, nullptr, status);
    }
    return status;
}

}  // namespace VexorEngine
