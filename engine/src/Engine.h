// One started engine: the loaded DAT set, its compiled matcher and the DAT
// information handed out with AVInitialise.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "Common/Engine/EngineContract.h"
#include "PatternMatcher.h"
#include "vexor/DatFormat.h"

namespace VexorEngine {

// Immutable after Load, so any number of threads may scan with it at once.
// Not movable: the DAT information points into the object itself.
class Engine {
  public:
    // paths: avvscan.dat, avvnames.dat, avvclean.dat and optionally
    // extra.dat. Returns null with *status (kEngineStatusDatFile or
    // kEngineStatusNoMemory) and *error on failure.
    static std::unique_ptr<Engine> Load(const std::vector<std::string>& paths,
                                        EngineCallbackFn callback, uint16_t* status,
                                        std::string* error);
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    const PatternSet& matcher() const { return *matcher_; }
    const std::string& name(uint32_t signature) const { return names_[signature]; }
    CleanAction action(uint32_t signature) const { return actions_[signature]; }
    uint32_t dat_version() const { return set_info_.dat_version; }
    const EngineDatInfo* dat_info() const { return &info_; }
    // The callback given at start, used when a scan request brings none.
    EngineCallbackFn callback() const { return callback_; }

    // Scans running on this engine (counted by the handle table).
    std::atomic<int> active_scans{0};

  private:
    Engine() = default;

    // Constant after construction
    std::vector<std::string> names_;
    std::vector<CleanAction> actions_;
    std::unique_ptr<PatternSet> matcher_;
    EngineCallbackFn callback_ = nullptr;
    std::array<std::string, 4> paths_;
    std::array<EngineDatHeaderInfo, 4> headers_{};
    std::array<EngineDatFileInfo, 4> files_{};
    EngineDatSetInfo set_info_{};
    EngineDatInfo info_{};
};

}  // namespace VexorEngine
