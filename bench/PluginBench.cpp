// The plug-in's cost over the bare engine, its scaling over threads, and the
// scan stall of a definition reload. Run through scripts/bench, which prints
// the ratios:
//   plug-in scans per second / direct engine calls, 1 thread   (goal >= 0.97)
//   plug-in with 2 threads / plug-in with 1 thread              (goal >= 1.8)
//   longest scan during a reload / the engine's start time
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Common/Engine/EngineContract.h"
#include "Common/Platform/NamedMutex.h"
#include "Common/ProductKey.h"
#include "Common/Registry/RegistryKey.h"
#include "EngineState.h"
#include "VexorScanner.h"
#include "vexor/DatFormat.h"

namespace {

using namespace TesselSoftware;
using Clock = std::chrono::steady_clock;

constexpr int kSignatures = 10000;
constexpr int kFiles = 256;
constexpr size_t kFileSize = 8192;

struct Fixture {
    std::string root, engine_dir, dat;
    std::vector<std::string> files;
    void* engine = nullptr;
    AVInitialiseFn initialise = nullptr;
    AVScanObjectFn scan = nullptr;
    AVCloseFn close = nullptr;
};

std::string WriteSet(const std::string& folder, uint32_t version) {
    std::mt19937 random(version);
    std::string list;
    for (int i = 0; i < kSignatures; ++i) {
        char line[128];
        std::snprintf(line, sizeof line, "Bench.Sig.%d ; repair ; \"BENCH-%08x-%06d-SIGNATURE\"\n", i,
                      static_cast<unsigned>(random()), i);
        list += line;
    }
    const std::time_t now = std::time(nullptr);
    struct tm today {};
    localtime_r(&now, &today);
    VexorEngine::DatFiles files;
    std::string error;
    if (!VexorEngine::BuildDatFiles(list, "", version,
                                    VexorEngine::PackDosDate(today.tm_year + 1900, today.tm_mon + 1,
                                                             today.tm_mday),
                                    &files, &error) ||
        (std::filesystem::create_directories(folder), !VexorEngine::WriteDatFiles(folder, files, &error))) {
        std::fprintf(stderr, "cannot write the bench set: %s\n", error.c_str());
        std::abort();
    }
    return folder;
}

void Configure(const std::string& dat, uint32_t version, const std::string& engine, const std::string& hash) {
    uint32_t error = 0;
    auto lock = NamedMutex::Open(kRegistryLockName, &error);
    NamedMutex::Guard guard(*lock);
    RegistryKey key;
    key.Create(RegistryRoot::kLocalMachine, kProductKeyPath);
    key.WriteString("DATPath", dat);
    key.WriteDword("DATVersion", version);
    key.WriteString("EnginePath", engine);
    key.WriteString("EngineHash", hash);
}

Fixture& TheFixture() {
    static Fixture* fixture = [] {
        auto* f = new Fixture();
        char folder[] = "/tmp/vexor-plugin-bench-XXXXXX";
        f->root = ::mkdtemp(folder);
        ::setenv("VEXOR_SYSTEM_ROOT", f->root.c_str(), 1);
        f->engine_dir = VEXOR_ENGINE_LIBRARY_DIR;
        f->dat = WriteSet(f->root + "/dat/avvdat-1-files", 1);
        std::mt19937 random(7);
        std::filesystem::create_directories(f->root + "/corpus");
        for (int i = 0; i < kFiles; ++i) {
            std::string data(kFileSize, '\0');
            for (char& c : data) c = static_cast<char>(random() & 0x7F);
            const std::string path = f->root + "/corpus/file-" + std::to_string(i);
            FILE* out = std::fopen(path.c_str(), "wb");
            std::fwrite(data.data(), 1, data.size(), out);
            std::fclose(out);
            f->files.push_back(path);
        }
        Configure(f->dat, 1, f->engine_dir, "bench-1");
        f->engine = ::dlopen((f->engine_dir + "/mscan64a.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        f->initialise = reinterpret_cast<AVInitialiseFn>(::dlsym(f->engine, kEngineExportInitialise));
        f->scan = reinterpret_cast<AVScanObjectFn>(::dlsym(f->engine, kEngineExportScanObject));
        f->close = reinterpret_cast<AVCloseFn>(::dlsym(f->engine, kEngineExportClose));
        std::atexit([] { std::filesystem::remove_all(TheFixture().root); });
        return f;
    }();
    return *fixture;
}

uint32_t CountingCallback(const EngineCallbackContext*, uint16_t, uint64_t, uint64_t) { return 0; }

// The engine called the way a bare host would: no plug-in in between.
void BM_DirectEngine(benchmark::State& state) {
    Fixture& f = TheFixture();
    static std::atomic<uint64_t> handle{0};
    if (state.thread_index() == 0) {
        const std::string folder = f.dat + "/";
        const std::string paths[3] = {folder + "avvscan.dat", folder + "avvnames.dat", folder + "avvclean.dat"};
        const char* list[3] = {paths[0].c_str(), paths[1].c_str(), paths[2].c_str()};
        const EngineFileList files{16, 3, 0, list};
        const EngineTagItem items[] = {
            {16, kEngineTagCallback, 8, reinterpret_cast<uint64_t>(&CountingCallback)},
            {16, kEngineTagDatFiles, 16, reinterpret_cast<uint64_t>(&files)},
            {16, kEngineTagInterfaceKey, 8, kEngineInterfaceKey},
            {16, kEngineTagEngineFolder, static_cast<uint32_t>(f.engine_dir.size() + 1),
             reinterpret_cast<uint64_t>(f.engine_dir.c_str())}};
        const EngineRequest request{12, 4, items};
        EngineInitResult result{};
        result.size = sizeof result;
        if (f.initialise(&request, &result) != 0) state.SkipWithError("AVInitialise failed");
        handle = result.handle;
    }
    size_t next = static_cast<size_t>(state.thread_index()) * 17;
    for (auto _ : state) {
        const std::string& path = f.files[next++ % f.files.size()];
        EngineObjectDescriptor object{28, 4, 1, 0, 0, path.c_str(), 0};
        uint64_t context = 0;
        // The request the plug-in sends, so only the plug-in's own work differs.
        const EngineTagItem items[] = {
            {16, kEngineTagCallback, 8, reinterpret_cast<uint64_t>(&CountingCallback)},
            {16, kEngineTagObject, 28, reinterpret_cast<uint64_t>(&object)},
            {16, kEngineTagOption502, 0, 0}, {16, kEngineTagOption561, 0, 0},
            {16, kEngineTagOption400, 0, 0}, {16, kEngineTagOption401, 0, 0},
            {16, kEngineTagOption403, 0, 0}, {16, kEngineTagOption404, 0, 0},
            {16, kEngineTagOption517, 0, 0},
            {16, kEngineTagCallbackContext, 8, reinterpret_cast<uint64_t>(&context)}};
        const EngineRequest request{12, 10, items};
        benchmark::DoNotOptimize(f.scan(handle, &request, 0));
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFileSize));
    if (state.thread_index() == 0) {
        while (f.close(handle) != 0) std::this_thread::yield();
    }
}
BENCHMARK(BM_DirectEngine)->Threads(1)->Threads(2)->UseRealTime()->MinTime(1.0);

// The same files through scanner objects, one per thread.
void BM_PluginScan(benchmark::State& state) {
    Fixture& f = TheFixture();
    CVexorScanner scanner;
    ScannerText error{0, nullptr};
    if (scanner.Initialise(nullptr, nullptr, &error) != 0) state.SkipWithError("Initialise failed");
    std::free(error.text);
    size_t next = static_cast<size_t>(state.thread_index()) * 17;
    for (auto _ : state) {
        ScannerText virus{0, nullptr}, message{0, nullptr};
        benchmark::DoNotOptimize(scanner.ScanFile(f.files[next++ % f.files.size()].c_str(), &virus, &message));
        std::free(virus.text);
        std::free(message.text);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFileSize));
    scanner.Uninitialise();
}
BENCHMARK(BM_PluginScan)->Threads(1)->Threads(2)->UseRealTime()->MinTime(1.0);

// Two threads scan while a newer set is installed: the longest single scan
// against the engine's own start time on that set.
void BM_ReloadStall(benchmark::State& state) {
    Fixture& f = TheFixture();
    EngineState& engine = EngineState::Instance();
    std::atomic<int64_t> now{std::time(nullptr)};
    engine.SetClockForTesting([&] { return now.load(); });
    engine.SetPollPauseForTesting(1);
    uint32_t version = 1;
    double worst_ms = 0, start_ms = 0;
    for (auto _ : state) {
        CVexorScanner scanners[2];
        for (auto& scanner : scanners) scanner.Initialise(nullptr, nullptr, nullptr);
        ++version;
        const std::string next = WriteSet(f.root + "/dat/avvdat-" + std::to_string(version) + "-files", version);
        std::atomic<bool> stop{false};
        std::atomic<int64_t> longest_us{0};
        std::vector<std::thread> threads;
        for (auto& scanner : scanners) {
            threads.emplace_back([&, s = &scanner] {
                size_t i = 0;
                while (!stop.load()) {
                    ScannerText virus{0, nullptr}, message{0, nullptr};
                    const auto begin = Clock::now();
                    s->ScanFile(f.files[i++ % f.files.size()].c_str(), &virus, &message);
                    const int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begin).count();
                    int64_t seen = longest_us.load();
                    while (us > seen && !longest_us.compare_exchange_weak(seen, us)) {
                    }
                    std::free(virus.text);
                    std::free(message.text);
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Configure(next, version, f.engine_dir, "bench-1");
        now += 61;
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        stop = true;
        for (auto& thread : threads) thread.join();
        for (auto& scanner : scanners) scanner.Uninitialise();
        worst_ms = std::max(worst_ms, longest_us.load() / 1000.0);

        // The engine's own start time on the same set.
        const auto begin = Clock::now();
        CVexorScanner lone;
        lone.Initialise(nullptr, nullptr, nullptr);
        start_ms = std::max(start_ms, std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
        lone.Uninitialise();
    }
    state.counters["longest_scan_ms"] = worst_ms;
    state.counters["engine_start_ms"] = start_ms;
    state.counters["stall_over_start"] = start_ms > 0 ? worst_ms / start_ms : 0;
    engine.SetClockForTesting([] { return static_cast<int64_t>(std::time(nullptr)); });
}
BENCHMARK(BM_ReloadStall)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
