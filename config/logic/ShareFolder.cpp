#include "logic/ShareFolder.h"

#include <sstream>
#include <vector>

namespace TesselSoftware::VexorConfig {

namespace {

// mountinfo writes space, tab, newline and backslash as octal escapes.
std::string Unescape(const std::string& field) {
    std::string text;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits = field.substr(i + 1, 3);
            if (digits.size() == 3 && digits.find_first_not_of("01234567") == std::string::npos) {
                text += static_cast<char>(std::stoi(digits, nullptr, 8));
                i += 3;
                continue;
            }
        }
        text += field[i];
    }
    return text;
}

bool UnderFolder(const std::string& folder, const std::string& mount_point) {
    if (mount_point == "/") return true;
    return folder.compare(0, mount_point.size(), mount_point) == 0 &&
           (folder.size() == mount_point.size() || folder[mount_point.size()] == '/');
}

}  // namespace

std::optional<std::string> ShareNameForFolder(const std::string& folder, const std::string& mountinfo) {
    std::istringstream lines(mountinfo);
    std::string line;
    std::string best_mount;
    std::optional<std::string> best_source;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::vector<std::string> parts;
        for (std::string part; fields >> part;) parts.push_back(part);
        size_t separator = 0;
        while (separator < parts.size() && parts[separator] != "-") ++separator;
        if (parts.size() < 5 || separator + 2 >= parts.size()) continue;
        const std::string mount_point = Unescape(parts[4]);
        if (!UnderFolder(folder, mount_point) || mount_point.size() < best_mount.size()) continue;
        best_mount = mount_point;
        const std::string& type = parts[separator + 1];
        const std::string source = Unescape(parts[separator + 2]);
        // A deeper mount of another kind hides the share below it.
        best_source = (type == "cifs" || type == "smb3") && source.rfind("//", 0) == 0
                          ? std::optional<std::string>(source)
                          : std::nullopt;
    }
    if (!best_source) return std::nullopt;
    std::string unc = *best_source + folder.substr(best_mount == "/" ? 0 : best_mount.size());
    for (char& c : unc) {
        if (c == '/') c = '\\';
    }
    while (unc.size() > 2 && unc.back() == '\\') unc.pop_back();
    return unc;
}

}  // namespace TesselSoftware::VexorConfig
