// What the engine reported during one scan, collected by the callback.
#pragma once

#include <cstdint>
#include <string>

namespace TesselSoftware {

struct ScanState {
    bool infected = false;
    bool corrupt = false;
    bool encrypted = false;
    bool not_fully_unpacked = false;
    bool locked = false;
    bool cleaned = false;
    bool clean_failed = false;
    bool removal = false;
    bool summary_ok = false;
    bool internal_failure = false;
    bool zero_size = false;
    int32_t nesting = 0;
    std::string virus_name;
};

}  // namespace TesselSoftware
