// The request that starts the engine library on a DAT set, as the plug-in
// and the updater's engine start check both send it:
//
//   EngineStartRequest request(&Callback, "/var/lib/vexor/dat/avvdat-7-files", engine_folder);
//   const uint16_t status = initialise(request.get(), &result);
//
// Items in order: 100 callback, 110 the three DAT files, 112 extra.dat (only
// when a directory search of the DAT folder finds it), 107 the interface
// key, 108 the engine folder. The object owns every path and list the
// request points to, so it cannot be copied or moved.
#pragma once

#include <string>
#include <vector>

#include "Common/Engine/EngineContract.h"

namespace TesselSoftware {

class EngineStartRequest {
public:
    // A folder without a trailing "/" gets one.
    EngineStartRequest(EngineCallbackFn callback, const std::string& dat_folder,
                       const std::string& engine_folder);
    EngineStartRequest(const EngineStartRequest&) = delete;
    EngineStartRequest& operator=(const EngineStartRequest&) = delete;

    const EngineRequest* get() const { return &request_; }
    // The DAT folder with its trailing "/".
    const std::string& dat_folder() const { return dat_folder_; }

private:
    const std::string dat_folder_;
    const std::string engine_folder_;
    std::vector<std::string> dat_paths_;
    const std::string extra_path_;
    const char* dat_pointers_[3];
    const char* extra_pointer_[1];
    EngineFileList dat_list_;
    EngineFileList extra_list_;
    std::vector<EngineTagItem> items_;
    EngineRequest request_;
};

}  // namespace TesselSoftware
