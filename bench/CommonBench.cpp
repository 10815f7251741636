// Throughput of the shared pieces every update pass leans on: the text log
// line path and the UTF-8 <-> UTF-16 conversions of registry and RPC text.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "Common/Logs/TextLog.h"
#include "Common/Text/TextConversion.h"

namespace {

using namespace TesselSoftware;

void BM_TextLogLine(benchmark::State& state) {
    char folder[] = "/tmp/vexor-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    CTextLog log(6, 1, 2, 1564);
    log.Open(std::string(folder) + "/Bench", 7, 0, true, true, true);
    for (auto _ : state) {
        log.Log(kLogTrace, "Downloading file %s (%d of %d)\r\n", "avvdat-10001.zip", 3, 7);
    }
    state.SetItemsProcessed(state.iterations());
    log.Close();
    std::system((std::string("rm -rf ") + folder).c_str());
}
BENCHMARK(BM_TextLogLine)->Threads(1)->Threads(2);

void BM_NarrowToWide(benchmark::State& state) {
    const std::string path = "/var/lib/vexor/dat/avvdat-10001-files/avvscan.dat \xC3\xA9";
    for (auto _ : state) benchmark::DoNotOptimize(NarrowToWide(path));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(path.size()));
}
BENCHMARK(BM_NarrowToWide);

}  // namespace
