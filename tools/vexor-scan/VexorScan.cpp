// vexor-scan: a gateway stand-in. Loads the scanner plug-in by path, gives
// each thread its own scanner object, and scans files and folders.
//
//   vexor-scan [--plugin PATH] [--threads N] [--clean] [-v] PATH...
//
// One line per file ("PATH: OK", "PATH: FOUND <virus>", ...), then
// "Scanned: N, infected: M, errors: E". Exit 0 when nothing was found, 1 when
// something was found, 2 when there were errors and nothing was found.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TSVexor/Scanner.h"

namespace {

namespace fs = std::filesystem;

constexpr char kUsage[] =
    "Usage: vexor-scan [--plugin PATH] [--threads N] [--clean] [-v] PATH...\n"
    "Scans files and folders (recursively) with the TSVexor plug-in, as a gateway does.\n"
    "\n"
    "  --plugin PATH  the plug-in library (default: libTSVexor.so beside this program,\n"
    "                 else the installed /opt/vexor/libTSVexor.so)\n"
    "  --threads N    scanning threads, each with its own scanner object (default 1)\n"
    "  --clean        clean infected files in place\n"
    "  -v             print the plug-in's log lines on standard error\n"
    "\n"
    "Prints one line per file: OK, FOUND <virus>, ENCRYPTED, CORRUPT, OLD-DAT, INCOMPLETE,\n"
    "ERROR, and with --clean CLEANED or NOT-CLEANED; then a summary line.\n"
    "Exit status: 0 nothing found, 1 something found, 2 errors and nothing found.\n";

struct Options {
    std::string plugin;
    int threads = 1;
    bool clean = false;
    bool verbose = false;
    std::vector<std::string> paths;
};

std::mutex g_output;

class StderrLogger final : public IScannerLogger {
public:
    explicit StderrLogger(bool enabled) : enabled_(enabled) {}
    uint32_t GetInterfaceVersion() override { return kScannerInterfaceVersion; }
    void Log(int32_t level, const char* format, ...) override {
        if (!enabled_) return;
        char line[4096];
        va_list args;
        va_start(args, format);
        std::vsnprintf(line, sizeof line, format, args);
        va_end(args);
        std::lock_guard lock(g_output);
        std::fprintf(stderr, "[%d] %s%s", level, line,
                     std::strlen(line) && line[std::strlen(line) - 1] == '\n' ? "" : "\n");
    }

private:
    bool enabled_;
};

// A text slot that frees its string.
struct Text : ScannerText {
    Text() : ScannerText{0, nullptr} {}
    ~Text() { std::free(text); }
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    std::string str() const { return text ? text : ""; }
};

struct Info : ScannerInfo {
    Info() : ScannerInfo{} {}
    ~Info() {
        for (ScannerText* slot : {&product_name, &vendor_name, &vendor_address, &unused,
                                  &dat_folder, &engine_version, &dat_version}) {
            std::free(slot->text);
        }
    }
};

std::string DefaultPlugin() {
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        const fs::path beside = fs::path(std::string(self, static_cast<size_t>(length))).parent_path() /
                                "libTSVexor.so";
        if (fs::exists(beside)) return beside.string();
    }
    // Where the package installs the plug-in (InstallPath).
    if (fs::exists("/opt/vexor/libTSVexor.so")) return "/opt/vexor/libTSVexor.so";
    return "libTSVexor.so";
}

bool ParseOptions(int argc, char** argv, Options* options, int* exit_code) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            *exit_code = 0;
            return false;
        }
        if (arg == "--plugin" && i + 1 < argc) {
            options->plugin = argv[++i];
        } else if (arg == "--threads" && i + 1 < argc) {
            char* end = nullptr;
            const long threads = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || threads < 1 || threads > 256) {
                std::fprintf(stderr, "vexor-scan: --threads takes a number from 1 to 256\n");
                *exit_code = 2;
                return false;
            }
            options->threads = static_cast<int>(threads);
        } else if (arg == "--clean") {
            options->clean = true;
        } else if (arg == "-v") {
            options->verbose = true;
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "vexor-scan: unknown option '%s'\n\n%s", arg.c_str(), kUsage);
            *exit_code = 2;
            return false;
        } else {
            options->paths.push_back(arg);
        }
    }
    if (options->paths.empty()) {
        std::fputs(kUsage, stderr);
        *exit_code = 2;
        return false;
    }
    if (options->plugin.empty()) options->plugin = DefaultPlugin();
    return true;
}

// Files below each path, in name order; unreadable paths become errors.
std::vector<std::string> CollectFiles(const std::vector<std::string>& paths,
                                      std::vector<std::string>* missing) {
    std::vector<std::string> files;
    for (const std::string& path : paths) {
        std::error_code error;
        if (fs::is_directory(path, error)) {
            std::vector<std::string> found;
            for (fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied,
                                                     error), end;
                 !error && it != end; it.increment(error)) {
                if (it->is_regular_file(error)) found.push_back(it->path().string());
            }
            std::sort(found.begin(), found.end());
            files.insert(files.end(), found.begin(), found.end());
        } else if (fs::exists(path, error)) {
            files.push_back(path);
        } else {
            missing->push_back(path);
        }
    }
    return files;
}

struct Totals {
    std::atomic<int> scanned{0}, infected{0}, errors{0};
};

void Report(const std::string& path, const std::string& verdict) {
    std::lock_guard lock(g_output);
    std::printf("%s: %s\n", path.c_str(), verdict.c_str());
}

// Scans one file (and cleans it when asked and infected).
void Process(IScanner* scanner, const std::string& path, bool clean, Totals* totals) {
    Text virus, message;
    const int32_t code = scanner->ScanFile(path.c_str(), &virus, &message);
    totals->scanned++;
    switch (code) {
        case kScanClean: Report(path, "OK"); return;
        case kScanInfected: break;
        case kScanEncrypted: Report(path, "ENCRYPTED " + message.str()); return;
        case kScanCorrupt: Report(path, "CORRUPT " + message.str()); return;
        case kScanCleanOldDat: Report(path, "OLD-DAT " + message.str()); return;
        case kScanIncomplete: Report(path, "INCOMPLETE " + message.str()); return;
        default:
            totals->errors++;
            Report(path, "ERROR " + message.str());
            return;
    }
    totals->infected++;
    if (!clean) {
        Report(path, "FOUND " + virus.str());
        return;
    }
    Text clean_message;
    switch (scanner->CleanFile(path.c_str(), &clean_message)) {
        case kCleanDone: Report(path, "CLEANED"); break;
        case kCleanNotCleaned: Report(path, "NOT-CLEANED " + clean_message.str()); break;
        default:
            totals->errors++;
            Report(path, "ERROR " + clean_message.str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int exit_code = 0;
    if (!ParseOptions(argc, argv, &options, &exit_code)) return exit_code;

    void* library = ::dlopen(options.plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "vexor-scan: cannot load the plug-in: %s\n", ::dlerror());
        return 2;
    }
    const auto create = reinterpret_cast<CreateScannerInterfaceFn>(::dlsym(library, "CreateScannerInterface"));
    if (create == nullptr) {
        std::fprintf(stderr, "vexor-scan: %s exports no CreateScannerInterface\n", options.plugin.c_str());
        return 2;
    }

    StderrLogger logger(options.verbose);
    std::vector<IScanner*> scanners;
    int result = 0;
    for (int i = 0; i < options.threads && result == 0; ++i) {
        IScanner* scanner = create(kScannerInterfaceVersion);
        if (scanner == nullptr) {
            std::fprintf(stderr, "vexor-scan: the plug-in refused interface version 0x10000\n");
            result = 2;
            break;
        }
        scanner->SetLogger(&logger);
        ScannerOptions scanner_options{};
        Info info;
        Text error;
        const int32_t ready = scanner->Initialise(&scanner_options, &info, &error);
        scanners.push_back(scanner);
        if (ready != kInitReady) {
            std::printf("%s\n", error.str().empty() ? "The scanner is not ready: no DAT files are configured."
                                                    : error.str().c_str());
            result = 2;
        } else if (i == 0 && options.verbose) {
            std::fprintf(stderr, "engine %s, DAT %s\n", info.engine_version.text, info.dat_version.text);
        }
    }

    Totals totals;
    if (result == 0) {
        std::vector<std::string> missing;
        const std::vector<std::string> files = CollectFiles(options.paths, &missing);
        for (const std::string& path : missing) {
            totals.errors++;
            Report(path, "ERROR No such file or folder");
        }
        std::atomic<size_t> next{0};
        std::vector<std::thread> threads;
        for (IScanner* scanner : scanners) {
            threads.emplace_back([&, scanner] {
                for (size_t i; (i = next++) < files.size();) {
                    Process(scanner, files[i], options.clean, &totals);
                }
            });
        }
        for (auto& thread : threads) thread.join();
        std::printf("Scanned: %d, infected: %d, errors: %d\n", totals.scanned.load(),
                    totals.infected.load(), totals.errors.load());
        result = totals.infected > 0 ? 1 : totals.errors > 0 ? 2 : 0;
    }
    for (IScanner* scanner : scanners) {
        scanner->Uninitialise();
        scanner->Release();
    }
    std::fflush(stdout);
    // The library stays loaded until exit: its engine state outlives objects.
    return result;
}
