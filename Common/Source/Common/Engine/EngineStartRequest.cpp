#include "Common/Engine/EngineStartRequest.h"

#include <dirent.h>

namespace TesselSoftware {

namespace {

std::string WithSlash(std::string folder) {
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

// extra.dat counts when a directory search finds an entry of that name.
bool FolderHasEntry(const std::string& folder, const std::string& name) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return false;
    bool found = false;
    while (const struct dirent* entry = ::readdir(dir)) found = found || name == entry->d_name;
    ::closedir(dir);
    return found;
}

}  // namespace

EngineStartRequest::EngineStartRequest(EngineCallbackFn callback, const std::string& dat_folder,
                                       const std::string& engine_folder)
    : dat_folder_(WithSlash(dat_folder)),
      engine_folder_(engine_folder),
      dat_paths_{dat_folder_ + "avvscan.dat", dat_folder_ + "avvnames.dat",
                 dat_folder_ + "avvclean.dat"},
      extra_path_(dat_folder_ + "extra.dat"),
      dat_pointers_{dat_paths_[0].c_str(), dat_paths_[1].c_str(), dat_paths_[2].c_str()},
      extra_pointer_{extra_path_.c_str()},
      dat_list_{sizeof(EngineFileList), 3, 0, dat_pointers_},
      extra_list_{sizeof(EngineFileList), 1, 0, extra_pointer_} {
    items_.push_back({sizeof(EngineTagItem), kEngineTagCallback, 8,
                      reinterpret_cast<uint64_t>(callback)});
    items_.push_back({sizeof(EngineTagItem), kEngineTagDatFiles, sizeof(EngineFileList),
                      reinterpret_cast<uint64_t>(&dat_list_)});
    if (FolderHasEntry(dat_folder_, "extra.dat")) {
        items_.push_back({sizeof(EngineTagItem), kEngineTagExtraDatFiles, sizeof(EngineFileList),
                          reinterpret_cast<uint64_t>(&extra_list_)});
    }
    items_.push_back({sizeof(EngineTagItem), kEngineTagInterfaceKey, 8, kEngineInterfaceKey});
    items_.push_back({sizeof(EngineTagItem), kEngineTagEngineFolder,
                      static_cast<uint32_t>(engine_folder_.size() + 1),
                      reinterpret_cast<uint64_t>(engine_folder_.c_str())});
    request_ = EngineRequest{sizeof(EngineRequest), static_cast<uint16_t>(items_.size()), items_.data()};
}

}  // namespace TesselSoftware
