// MD5 throughput of the updater's own digest (as CheckFileMD5 reads a
// downloaded archive) against coreutils' md5sum on the same file, printed
// as MB/s and a ratio (goal: at least 0.9).
//
//   vexor_bench_md5 [SIZE_MB]     (default 500)
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchFiles.h"
#include "Common/Logs/TextLog.h"
#include "Common/Text/Md5.h"
#include "dat/ArchiveTools.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class NullLog : public TesselSoftware::ILogging {
public:
    bool LogV(int32_t, const char*, va_list) override { return true; }
};

}  // namespace

int main(int argc, char** argv) {
    const long size_mb = argc > 1 ? std::atol(argv[1]) : 500;
    const std::string file = TesselSoftware::Bench::WriteCachedFile("vexor-md5-bench", size_mb);
    if (file.empty()) return 1;
    const char* const path = file.c_str();

    auto start = Clock::now();
    const std::string command = std::string("md5sum ") + path + " > " + path + ".sum";
    if (std::system(command.c_str()) != 0) return 1;
    const double md5sum_seconds = Seconds(start);
    char expected[33] = {};
    if (FILE* sum = std::fopen((std::string(path) + ".sum").c_str(), "r")) {
        if (std::fread(expected, 1, 32, sum) != 32) expected[0] = 0;
        std::fclose(sum);
    }

    NullLog log;
    start = Clock::now();
    const bool match = TesselSoftware::CheckFileMD5(path, expected, log);
    const double ours_seconds = Seconds(start);

    std::printf("file: %ld MB\n", size_mb);
    std::printf("md5sum:       %8.1f MB/s (%.2f s)\n", size_mb / md5sum_seconds, md5sum_seconds);
    std::printf("CheckFileMD5: %8.1f MB/s (%.2f s)%s\n", size_mb / ours_seconds, ours_seconds,
                match ? "" : "  DIGEST MISMATCH");
    std::printf("ratio (ours / md5sum): %.2f (goal >= 0.90)\n", md5sum_seconds / ours_seconds);
    ::unlink(path);
    ::unlink((std::string(path) + ".sum").c_str());
    return match ? 0 : 1;
}
