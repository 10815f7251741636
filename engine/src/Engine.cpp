// Loading a DAT set into an engine.
#include "Engine.h"

#include <new>

namespace VexorEngine {

std::unique_ptr<Engine> Engine::Load(const std::vector<std::string>& paths,
                                     EngineCallbackFn callback, uint16_t* status,
                                     std::string* error) {
    *status = kEngineStatusDatFile;
    if (paths.size() != 3 && paths.size() != 4) {
        *error = "a DAT set has three or four files";
        return nullptr;
    }
    DatFiles files;
    std::string* contents[] = {&files.scan, &files.names, &files.clean, &files.extra};
    for (size_t i = 0; i < paths.size(); ++i) {
        if (!ReadFileBytes(paths[i], kMaxDatFileSize, contents[i], error)) {
            return nullptr;
        }
        // An empty extra.dat would read as "no extra.dat"; it is as malformed as any other.
        if (contents[i]->empty()) {
            *error = paths[i] + " is empty";
            return nullptr;
        }
    }
    DatSet set;
    if (!DecodeDatSet(files, &set, error)) {
        return nullptr;
    }

    std::unique_ptr<Engine> engine(new (std::nothrow) Engine);
    if (!engine) {
        *status = kEngineStatusNoMemory;
        return nullptr;
    }
    engine->callback_ = callback;
    const size_t total = set.signatures.size() + set.extra.size();
    engine->names_.reserve(total);
    engine->actions_.reserve(total);
    std::vector<const std::vector<uint16_t>*> patterns;
    patterns.reserve(total);
    for (const std::vector<Signature>* list : {&set.signatures, &set.extra}) {
        for (const Signature& s : *list) {
            engine->names_.push_back(s.name);
            engine->actions_.push_back(s.action);
            patterns.push_back(&s.pattern);
        }
    }
    engine->matcher_ = std::make_unique<PatternSet>(patterns);

    for (size_t i = 0; i < paths.size(); ++i) {
        DatFileHeader header;
        ReadDatHeader(*contents[i], static_cast<DatKind>(i), &header, error);
        engine->paths_[i] = paths[i];
        engine->headers_[i] = EngineDatHeaderInfo{sizeof(EngineDatHeaderInfo),
                                                  header.version,
                                                  header.count,
                                                  header.dos_date,
                                                  header.format,
                                                  header.checksum,
                                                  0};
        engine->files_[i] =
            EngineDatFileInfo{&engine->headers_[i], engine->paths_[i].c_str(), contents[i]->size()};
    }
    engine->set_info_.size = sizeof(EngineDatSetInfo);
    engine->set_info_.file_count = static_cast<uint32_t>(paths.size());
    engine->set_info_.dat_version = set.version;
    engine->set_info_.signature_count = static_cast<uint32_t>(total);
    engine->set_info_.dos_date = set.dos_date;
    engine->set_info_.files = engine->files_.data();
    engine->info_.set = &engine->set_info_;
    *status = kEngineStatusOk;
    return engine;
}

}  // namespace VexorEngine
