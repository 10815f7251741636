#include "engine/EngineVersionNumber.h"

namespace TesselSoftware {

bool ParseEngineVersion(const std::string& text, EngineVersionNumber* version) {
    *version = EngineVersionNumber{};
    int32_t parts[4] = {};
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        size_t digits = 0;
        int32_t value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            if (++digits > 9) return false;
            value = value * 10 + (text[at] - '0');
            ++at;
        }
        if (digits == 0) return false;
        parts[part] = value;
        if (part < 3) {
            if (at >= text.size() || text[at] != '.') return false;
            ++at;
        } else if (at < text.size() && text[at] != '.') {
            return false;  // only a "." may end the fourth part early
        }
    }
    version->major = parts[0];
    version->minor = parts[1];
    version->build = parts[2];
    version->revision = parts[3];
    version->text = std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." +
                    std::to_string(parts[2]) + "." + std::to_string(parts[3]);
    return true;
}

}  // namespace TesselSoftware
