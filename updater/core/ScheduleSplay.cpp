#include "core/ScheduleSplay.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <fstream>

#include "Common/Platform/MachineLayout.h"

namespace TesselSoftware {

int64_t SplayOffset(const std::string& machine_identity, int64_t splay) {
    splay = std::min(splay, kMaxUpdateSplaySeconds);
    if (splay <= 0) return 0;
    // FNV-1a: stable across builds and machines, spread well enough over
    // an hour for ids that differ anywhere.
    uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : machine_identity) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return static_cast<int64_t>(hash % static_cast<uint64_t>(splay));
}

std::string MachineIdentity() {
    std::string id;
    std::ifstream file(MachineLayout::SystemRoot() + "/etc/machine-id");
    if (file) std::getline(file, id);
    if (!id.empty()) return id;
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof host - 1) == 0) return host;
    return {};
}

}  // namespace TesselSoftware
