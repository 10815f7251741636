#include "logic/ServiceSandbox.h"

#include <filesystem>

namespace TesselSoftware::VexorConfig {

namespace {

struct HiddenTree {
    const char* path;
    const char* why;
};
constexpr HiddenTree kHiddenTrees[] = {
    {"/home", "the home folders are hidden from it"},     {"/root", "the home folders are hidden from it"},
    {"/run/user", "the home folders are hidden from it"}, {"/tmp", "it has a /tmp of its own"},
    {"/var/tmp", "it has a /var/tmp of its own"},
};

bool IsWithin(const std::filesystem::path& path, const std::filesystem::path& tree) {
    auto inside = path.begin();
    for (auto part = tree.begin(); part != tree.end(); ++part, ++inside) {
        if (inside == path.end() || *inside != *part) return false;
    }
    return true;
}

}  // namespace

std::string FolderHiddenFromService(const std::string& folder) {
    if (folder.empty() || folder.front() != '/') return {};
    std::error_code error;
    std::filesystem::path real = std::filesystem::weakly_canonical(folder, error);
    if (error) real = std::filesystem::path(folder).lexically_normal();
    for (const std::filesystem::path& candidate : {real, std::filesystem::path(folder).lexically_normal()}) {
        for (const HiddenTree& tree : kHiddenTrees) {
            if (IsWithin(candidate, tree.path)) {
                return "The updater service cannot see " + folder + ": " + tree.why +
                       ". Keep update sources under /srv, /opt or /var/lib, for example /srv/vexor.";
            }
        }
    }
    return {};
}

}  // namespace TesselSoftware::VexorConfig
