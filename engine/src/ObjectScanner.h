// Scanning one top object (a file, and the members of the ZIP containers in
// it, to a depth limit) and reporting what happens through the callback.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "CallbackChannel.h"
#include "Engine.h"

namespace VexorEngine {

struct ScanLimits {
    int max_depth = 8;  // containers at this nesting depth are not opened
    uint64_t max_unpacked_bytes = uint64_t{4} << 30;
    uint32_t max_members = 100'000;
    size_t max_ranges = 4096;  // match positions kept per finding, for cleaning
};

struct Finding {
    std::string object;                    // the name sent with 0x411
    std::vector<std::string> member_path;  // member names from the top down; empty: the top
    uint32_t signature = 0;
    std::vector<std::pair<uint64_t, uint64_t>> ranges;  // [start, end) of each match
    bool ranges_complete = true;
};

struct ScanOutcome {
    std::vector<Finding> findings;
    bool skipped_error = false;  // part could not be read: access, I/O, corrupt, encrypted, empty
    bool skipped_limit = false;  // part was left out by a limit
    bool top_is_container = false;

    uint16_t Summary() const;
};

// Sends every message of the top object between its 0x411 and its summary:
// findings, the members of containers in their 0x426/0x427 brackets, and the
// reasons of whatever could not be scanned. Reads the file in one pass with
// memory bounded by the limits, whatever its size.
ScanOutcome ScanFile(const Engine& engine, CallbackChannel& channel, const std::string& path,
                     const ScanLimits& limits = ScanLimits{});

}  // namespace VexorEngine
