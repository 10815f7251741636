#include "sources/DownloaderFS.h"

#include <boost/regex.hpp>
#include <filesystem>
#include <system_error>

namespace TesselSoftware {

namespace fs = std::filesystem;

CDownloaderFS::CDownloaderFS(SourceSettings* settings, int32_t type) : CDownloader(type, settings) {
    if (settings != nullptr) SetBaseLocation(settings->LocalDirectory());
}

bool CDownloaderFS::Download(const std::string& remote_name, const std::string& local_path) {
    ClearLastError();
    // One separator is always inserted, whatever the base ends with.
    const std::string source = BaseLocation() + "/" + remote_name;
    if (IUpdateProgress* progress = Progress()) progress->AddMessage("Downloading '%s'", source.c_str());
    const auto fail = [&] {
        SetLastError("Failed to copy '" + remote_name + "' into '" + local_path + "'");
        return false;
    };
    std::error_code error;
    if (!fs::is_regular_file(source, error) || fs::equivalent(source, local_path, error)) {
        return fail();  // nothing was touched
    }
    if (!fs::copy_file(source, local_path, fs::copy_options::overwrite_existing, error)) {
        std::error_code ignored;
        fs::remove(local_path, ignored);  // no partial copy is left behind
        return fail();
    }
    return true;
}

bool CDownloaderFS::ListFiles(const std::string& pattern, std::vector<std::string>* names) {
    ClearLastError();
    try {
        const fs::path base(BaseLocation());
        std::error_code error;
        if (!fs::exists(base, error)) return false;
        const boost::regex expression =
            pattern.empty() ? boost::regex() : boost::regex(pattern, boost::regex::perl);
        for (const fs::directory_entry& entry : fs::directory_iterator(base)) {
            const std::string name = entry.path().filename().string();
            if (pattern.empty() || boost::regex_match(name, expression)) names->push_back(name);
        }
        return true;
    } catch (const std::exception&) {
        // A bad pattern or a failing walk; names found so far stay listed.
        return false;
    }
}

void RegisterFolderDownloader() {
    RegisterDownloader(LocalFolder, [](SourceSettings* settings) {
        return std::make_shared<CDownloaderFS>(settings);
    });
}

}  // namespace TesselSoftware
