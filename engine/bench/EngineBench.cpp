// Scan throughput of the engine library (MB/s and files/s) over a generated
// mixed corpus, with 10 000 and 100 000 signatures on 1 and 2 threads, and
// the AVInitialise time of a 100 000-signature set (the scan stall of every
// definition reload). Everything is generated in a scratch folder under
// $TMPDIR at start-up and removed at exit.
#include <archive.h>
#include <archive_entry.h>
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Common/Engine/EngineContract.h"
#include "vexor/DatFormat.h"

namespace {

using namespace VexorEngine;

constexpr char kEicar[] = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

std::string RandomBytes(std::mt19937& random, size_t size) {
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(random() & 0xFF);
    }
    return bytes;
}

void WriteWhole(const std::string& path, const std::string& data) {
    std::string error;
    if (!WriteFileAtomically(path, data, &error)) {
        fprintf(stderr, "%s\n", error.c_str());
        abort();
    }
}

la_ssize_t Append(archive*, void* out, const void* data, size_t size) {
    static_cast<std::string*>(out)->append(static_cast<const char*>(data), size);
    return static_cast<la_ssize_t>(size);
}

std::string Zip(const std::vector<std::pair<std::string, std::string>>& members) {
    std::string out;
    std::unique_ptr<archive, decltype(&archive_write_free)> a(archive_write_new(),
                                                              &archive_write_free);
    archive_write_set_format_zip(a.get());
    archive_write_set_bytes_per_block(a.get(), 0);
    archive_write_open2(a.get(), &out, nullptr, &Append, nullptr, nullptr);
    for (const auto& [name, data] : members) {
        std::unique_ptr<archive_entry, decltype(&archive_entry_free)> e(archive_entry_new(),
                                                                        &archive_entry_free);
        archive_entry_set_pathname(e.get(), name.c_str());
        archive_entry_set_filetype(e.get(), AE_IFREG);
        archive_entry_set_perm(e.get(), 0644);
        archive_entry_set_size(e.get(), static_cast<la_int64_t>(data.size()));
        archive_write_header(a.get(), e.get());
        archive_write_data(a.get(), data.data(), data.size());
    }
    archive_write_close(a.get());
    return out;
}

// The scratch folder with the corpus and one DAT set per signature count.
class Workspace {
  public:
    Workspace() {
        char pattern[] = "/tmp/vexor-engine-bench-XXXXXX";
        root_ = mkdtemp(pattern);
        std::mt19937 random(42);
        // 300 small files of 1-16 KiB, 4 large files of 8 MiB, 20 zips of 25 text-like
        // members; one file in fifty carries a test signature.
        for (int i = 0; i < 300; ++i) {
            std::string data = RandomBytes(random, 1024 + random() % 15360);
            if (i % 50 == 0) {
                data.replace(data.size() / 2, sizeof kEicar - 1, kEicar);
            }
            AddFile("small-" + std::to_string(i), data);
        }
        for (int i = 0; i < 4; ++i) {
            AddFile("large-" + std::to_string(i), RandomBytes(random, 8 << 20));
        }
        for (int i = 0; i < 20; ++i) {
            std::vector<std::pair<std::string, std::string>> members;
            for (int m = 0; m < 25; ++m) {
                std::string text;
                while (text.size() < 8192) {
                    text += "line " + std::to_string(random()) + " of text\n";
                }
                if (m == 7 && i % 5 == 0) {
                    text += kEicar;
                }
                members.emplace_back("member-" + std::to_string(m) + ".txt", text);
            }
            AddFile("archive-" + std::to_string(i) + ".zip", Zip(members));
        }
    }
    ~Workspace() { std::filesystem::remove_all(root_); }

    // The DAT folder of a set with `count` random signatures (plus the sample test file).
    const std::string& DatFolder(int count) {
        auto found = dat_.find(count);
        if (found != dat_.end()) {
            return found->second;
        }
        std::mt19937 random(count);
        std::vector<Signature> signatures;
        signatures.push_back(Signature{"EICAR-Test-File", CleanAction::kDelete, {}});
        for (const char c : std::string(kEicar)) {
            signatures.back().pattern.push_back(static_cast<uint8_t>(c));
        }
        for (int i = 1; i < count; ++i) {
            Signature s{"Bench.Generated." + std::to_string(i), CleanAction::kRepair, {}};
            const size_t length = 12 + random() % 20;
            for (size_t k = 0; k < length; ++k) {
                s.pattern.push_back(k % 9 == 4 ? kWildcard
                                               : static_cast<uint16_t>(random() & 0xFF));
            }
            signatures.push_back(std::move(s));
        }
        DatSet set{6543, PackDosDate(2024, 5, 17), std::move(signatures), {}};
        DatFiles files;
        std::string error;
        const std::string folder = root_ + "/dat-" + std::to_string(count);
        if (!EncodeDatSet(set, &files, &error) || !WriteDatFiles(folder, files, &error)) {
            fprintf(stderr, "%s\n", error.c_str());
            abort();
        }
        return dat_[count] = folder;
    }

    const std::vector<std::string>& files() const { return files_; }
    uint64_t total_bytes() const { return total_bytes_; }

  private:
    void AddFile(const std::string& name, const std::string& data) {
        files_.push_back(root_ + "/" + name);
        WriteWhole(files_.back(), data);
        total_bytes_ += data.size();
    }

    std::string root_;
    std::vector<std::string> files_;
    uint64_t total_bytes_ = 0;
    std::map<int, std::string> dat_;
};

Workspace& Space() {
    static Workspace workspace;
    return workspace;
}

struct Library {
    Library() : handle(dlopen(VEXOR_ENGINE_LIBRARY, RTLD_NOW | RTLD_LOCAL)) {
        if (handle == nullptr) {
            abort();
        }
        initialise = reinterpret_cast<AVInitialiseFn>(dlsym(handle, kEngineExportInitialise));
        scan = reinterpret_cast<AVScanObjectFn>(dlsym(handle, kEngineExportScanObject));
        close = reinterpret_cast<AVCloseFn>(dlsym(handle, kEngineExportClose));
    }
    void* handle;
    AVInitialiseFn initialise;
    AVScanObjectFn scan;
    AVCloseFn close;
};

Library& Engine() {
    static Library library;
    return library;
}

std::atomic<uint64_t> g_findings{0};

uint32_t CountFindings(const EngineCallbackContext*, uint16_t message, uint64_t, uint64_t) {
    if (message == kEngineMsgInfected) {
        g_findings.fetch_add(1, std::memory_order_relaxed);
    }
    return 0;
}

uint64_t Start(const std::string& folder) {
    const std::string paths[3] = {folder + "/avvscan.dat", folder + "/avvnames.dat",
                                  folder + "/avvclean.dat"};
    const char* pointers[3] = {paths[0].c_str(), paths[1].c_str(), paths[2].c_str()};
    const EngineFileList list{sizeof(EngineFileList), 3, 0, pointers};
    const std::string engine_folder = "/opt/vexor/Engine/6.1.0.0";
    const EngineTagItem items[] = {
        {16, kEngineTagCallback, 8,
         reinterpret_cast<uint64_t>(reinterpret_cast<void*>(&CountFindings))},
        {16, kEngineTagDatFiles, 16, reinterpret_cast<uint64_t>(&list)},
        {16, kEngineTagInterfaceKey, 8, kEngineInterfaceKey},
        {16, kEngineTagEngineFolder, static_cast<uint32_t>(engine_folder.size() + 1),
         reinterpret_cast<uint64_t>(engine_folder.c_str())}};
    const EngineRequest request{sizeof(EngineRequest), 4, items};
    EngineInitResult result{};
    result.size = sizeof result;
    if (Engine().initialise(&request, &result) != 0) {
        abort();
    }
    return result.handle;
}

void ScanOne(uint64_t handle, const std::string& path) {
    EngineObjectDescriptor object{};
    object.size = sizeof object;
    object.kind = 4;
    object.count = 1;
    object.path = path.c_str();
    const EngineTagItem items[] = {{16, kEngineTagObject, 28, reinterpret_cast<uint64_t>(&object)},
                                   {16, kEngineTagCallbackContext, 8, 0}};
    const EngineRequest request{sizeof(EngineRequest), 2, items};
    if (Engine().scan(handle, &request, 0) != 0) {
        abort();
    }
}

// One engine per signature count, started on first use and kept for the run.
uint64_t HandleFor(int count) {
    static std::mutex mutex;
    static std::map<int, uint64_t> handles;
    std::lock_guard<std::mutex> lock(mutex);
    uint64_t& handle = handles[count];
    if (handle == 0) {
        handle = Start(Space().DatFolder(count));
    }
    return handle;
}

// Each iteration scans the whole corpus once, split between `threads`
// scanning threads on the one engine handle.
void BM_ScanCorpus(benchmark::State& state) {
    const uint64_t handle = HandleFor(static_cast<int>(state.range(0)));
    const auto threads = static_cast<size_t>(state.range(1));
    const std::vector<std::string>& files = Space().files();
    const auto pass = [&] {
        std::vector<std::thread> workers;
        for (size_t t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                for (size_t i = t; i < files.size(); i += threads) {
                    ScanOne(handle, files[i]);
                }
            });
        }
        for (std::thread& worker : workers) {
            worker.join();
        }
    };
    pass();  // untimed: the first pass touches the files and the engine's tables
    for (auto _ : state) {
        pass();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Space().total_bytes()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * files.size()));
}
BENCHMARK(BM_ScanCorpus)
    ->ArgNames({"signatures", "threads"})
    ->Args({10000, 1})
    ->Args({10000, 2})
    ->Args({100000, 1})
    ->Args({100000, 2})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_Initialise(benchmark::State& state) {
    const std::string& folder = Space().DatFolder(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const uint64_t handle = Start(folder);
        state.PauseTiming();
        Engine().close(handle);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_Initialise)->ArgName("signatures")->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
