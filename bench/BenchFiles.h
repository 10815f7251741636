// Input files for the benchmarks that read a downloaded file.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace TesselSoftware::Bench {

// A file of size_mb MiB of varied bytes under /tmp, read once so that every
// reader measured after finds it cached. "" when it cannot be written.
inline std::string WriteCachedFile(const char* name, long size_mb) {
    std::string path = std::string("/tmp/") + name + "-XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0) return "";
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 2654435761u >> 13);
    for (long i = 0; i < size_mb; ++i) {
        block[0] = static_cast<char>(i);
        if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
            ::close(fd);
            return "";
        }
    }
    ::close(fd);
    if (std::system(("cat " + path + " > /dev/null").c_str()) != 0) return "";
    return path;
}

}  // namespace TesselSoftware::Bench
