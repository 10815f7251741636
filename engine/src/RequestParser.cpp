#include "RequestParser.h"

#include <cstring>
#include <initializer_list>
#include <set>

namespace VexorEngine {

namespace {

// Copies a record out of caller memory, which may be unaligned.
template <typename T>
T Load(const void* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

bool ReadText(uint64_t pointer, std::string* out) {
    if (pointer == 0) {
        return false;
    }
    const char* text = reinterpret_cast<const char*>(pointer);
    const size_t length = strnlen(text, kMaxPathLength);
    if (length == 0 || length == kMaxPathLength) {
        return false;
    }
    out->assign(text, length);
    return true;
}

// A text value whose declared length counts its terminating NUL.
bool ReadSizedText(uint32_t length, uint64_t pointer, std::string* out) {
    return ReadText(pointer, out) && length == out->size() + 1;
}

bool ReadPaths(const char* const* paths, size_t count, std::vector<std::string>* out) {
    if (paths == nullptr) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        std::string path;
        if (!ReadText(reinterpret_cast<uint64_t>(Load<const char*>(paths + i)), &path)) {
            return false;
        }
        out->push_back(std::move(path));
    }
    return true;
}

bool ReadEngineFileList(const EngineTagItem& item, uint16_t expected_count,
                        std::vector<std::string>* out) {
    if (item.length != sizeof(EngineFileList) || item.value == 0) {
        return false;
    }
    const auto list = Load<EngineFileList>(reinterpret_cast<const void*>(item.value));
    return list.size == sizeof(EngineFileList) && list.count == expected_count &&
           list.reserved == 0 && ReadPaths(list.paths, list.count, out);
}

// Copies the items out and checks their size fields and that no tag repeats.
uint16_t ReadItems(const EngineRequest* request, std::vector<EngineTagItem>* items) {
    if (request == nullptr) {
        return kEngineStatusBadArgument;
    }
    const auto header = Load<EngineRequest>(request);
    if (header.size != sizeof(EngineRequest) || header.count == 0 ||
        header.count > kMaxRequestItems || header.items == nullptr) {
        return kEngineStatusBadArgument;
    }
    std::set<uint16_t> seen;
    for (uint16_t i = 0; i < header.count; ++i) {
        const auto item = Load<EngineTagItem>(header.items + i);
        if (item.size != sizeof(EngineTagItem)) {
            return kEngineStatusBadArgument;
        }
        if (!seen.insert(item.tag).second) {
            return kEngineStatusBadTag;
        }
        items->push_back(item);
    }
    return kEngineStatusOk;
}

bool IsFlag(const EngineTagItem& item) {
    return item.length == 0 && item.value == 0;
}

bool IsOptionTag(uint16_t tag) {
    for (const int option :
         {kEngineTagOption400, kEngineTagOption401, kEngineTagOption403, kEngineTagOption404,
          kEngineTagOption412, kEngineTagOption502, kEngineTagOption517, kEngineTagOption561}) {
        if (tag == option) {
            return true;
        }
    }
    return false;
}

}  // namespace

uint16_t ParseInitRequest(const EngineRequest* request, InitRequest* out) {
    std::vector<EngineTagItem> items;
    if (const uint16_t status = ReadItems(request, &items); status != kEngineStatusOk) {
        return status;
    }
    bool have_key = false, have_folder = false;
    std::vector<std::string> dat, extra;
    for (const EngineTagItem& item : items) {
        switch (item.tag) {
            case kEngineTagCallback:
                if (item.length != 8 || item.value == 0) {
                    return kEngineStatusBadTag;
                }
                out->callback = reinterpret_cast<EngineCallbackFn>(item.value);
                break;
            case kEngineTagDatFiles:
                if (!ReadEngineFileList(item, 3, &dat)) {
                    return kEngineStatusBadTag;
                }
                break;
            case kEngineTagExtraDatFiles:
                if (!ReadEngineFileList(item, 1, &extra)) {
                    return kEngineStatusBadTag;
                }
                break;
            case kEngineTagInterfaceKey:
                if (item.length != 8) {
                    return kEngineStatusBadTag;
                }
                if (item.value != kEngineInterfaceKey) {
                    return kEngineStatusBadKey;
                }
                have_key = true;
                break;
            case kEngineTagEngineFolder:
                if (!ReadSizedText(item.length, item.value, &out->engine_folder)) {
                    return kEngineStatusBadTag;
                }
                have_folder = true;
                break;
            default:
                return kEngineStatusBadTag;
        }
    }
    if (out->callback == nullptr || dat.empty() || !have_key || !have_folder) {
        return kEngineStatusBadTag;
    }
    out->dat_paths = std::move(dat);
    if (!extra.empty()) {
        out->dat_paths.push_back(std::move(extra.front()));
    }
    return kEngineStatusOk;
}

uint16_t ParseScanRequest(const EngineRequest* request, ScanRequest* out) {
    std::vector<EngineTagItem> items;
    if (const uint16_t status = ReadItems(request, &items); status != kEngineStatusOk) {
        return status;
    }
    bool have_object = false;
    for (const EngineTagItem& item : items) {
        if (item.tag == kEngineTagCallback) {
            if (item.length != 8 || item.value == 0) {
                return kEngineStatusBadTag;
            }
            out->callback = reinterpret_cast<EngineCallbackFn>(item.value);
        } else if (item.tag == kEngineTagCallbackContext) {
            if (item.length != 8) {
                return kEngineStatusBadTag;
            }
            out->context = item.value;
        } else if (item.tag == kEngineTagObject) {
            if (item.length != sizeof(EngineObjectDescriptor) || item.value == 0) {
                return kEngineStatusBadTag;
            }
            const auto object =
                Load<EngineObjectDescriptor>(reinterpret_cast<const void*>(item.value));
            if (object.size != sizeof(EngineObjectDescriptor) || object.kind != 4 ||
                object.count != 1 || object.reserved != 0) {
                return kEngineStatusBadArgument;
            }
            if (!ReadText(reinterpret_cast<uint64_t>(object.path), &out->path)) {
                return kEngineStatusBadArgument;
            }
            have_object = true;
        } else if (item.tag == kEngineTagClean) {
            if (!IsFlag(item)) {
                return kEngineStatusBadTag;
            }
            out->clean = true;
        } else if (IsOptionTag(item.tag)) {
            if (!IsFlag(item)) {
                return kEngineStatusBadTag;
            }
        } else {
            return kEngineStatusBadTag;
        }
    }
    return have_object ? kEngineStatusOk : kEngineStatusBadTag;
}

uint16_t ParseUpdateRequest(const UpdateFileSet* files, const UpdateParameterList* parameters,
                            UpdateRequest* out) {
    if (parameters == nullptr) {
        return kEngineStatusBadArgument;
    }
    const auto list = Load<UpdateParameterList>(parameters);
    if (list.size != sizeof(UpdateParameterList) || list.count != 3 || list.items == nullptr) {
        return kEngineStatusBadArgument;
    }
    bool have_key = false;
    uint16_t status = kEngineStatusOk;
    for (uint16_t i = 0; i < list.count; ++i) {
        const auto item = Load<UpdateParameter>(list.items + i);
        uint16_t item_status = kEngineStatusOk;
        if (item.size != sizeof(UpdateParameter)) {
            item_status = kEngineStatusBadArgument;
        } else if (item.tag == kUpdateTagInterfaceKey && !have_key) {
            if (item.length != 8) {
                item_status = kEngineStatusBadTag;
            } else if (item.value != kEngineInterfaceKey) {
                item_status = kEngineStatusBadKey;
            }
            have_key = true;
        } else if (item.tag == kUpdateTagEngineFolder && out->engine_folder.empty()) {
            if (!ReadSizedText(item.length, item.value, &out->engine_folder)) {
                out->engine_folder.clear();
                item_status = kEngineStatusBadTag;
            }
        } else if (item.tag == kUpdateTagCallback && out->callback == nullptr) {
            if (item.length != 8 || item.value == 0) {
                item_status = kEngineStatusBadTag;
            } else {
                out->callback = reinterpret_cast<UpdateProgressCallbackFn>(item.value);
            }
        } else {
            item_status = kEngineStatusBadTag;
        }
        if (status == kEngineStatusOk) {
            status = item_status;
        }
    }
    if (status != kEngineStatusOk) {
        return status;
    }
    if (!have_key || out->engine_folder.empty() || out->callback == nullptr) {
        return kEngineStatusBadTag;
    }

    if (files == nullptr) {
        return kEngineStatusBadArgument;
    }
    const auto set = Load<UpdateFileSet>(files);
    if (set.size != sizeof(UpdateFileSet) || set.reserved != 0) {
        return kEngineStatusBadArgument;
    }
    const struct {
        const UpdateFileList* list;
        uint32_t min, max;
        std::vector<std::string>* paths;
    } lists[] = {{set.current, 3, 3, &out->current},
                 {set.next, 3, 3, &out->next},
                 {set.patches, 1, kMaxPatchFiles, &out->patches}};
    for (const auto& entry : lists) {
        if (entry.list == nullptr) {
            return kEngineStatusBadArgument;
        }
        const auto file_list = Load<UpdateFileList>(entry.list);
        if (file_list.size != sizeof(UpdateFileList) || file_list.count < entry.min ||
            file_list.count > entry.max ||
            !ReadPaths(file_list.paths, file_list.count, entry.paths)) {
            return kEngineStatusBadArgument;
        }
    }
    return kEngineStatusOk;
}

}  // namespace VexorEngine
