#include "Common/Platform/SystemGroups.h"

#include <grp.h>

#include <vector>

namespace TesselSoftware {

std::optional<gid_t> GroupId(const char* name) {
    if (name == nullptr) return std::nullopt;
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    return found->gr_gid;
}

}  // namespace TesselSoftware
