// Helpers of the engine suites: the library loaded through dlopen, a
// callback that renders each message as a line of text, request builders,
// DAT sets from the sample list, and ZIP archives made in memory.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Common/Engine/EngineContract.h"
#include "TestSupport.h"
#include "vexor/DatFormat.h"

namespace VexorEngine::Testing {

// The engine library, loaded with RTLD_NOW | RTLD_LOCAL as the plug-in and
// the updater load it; unloaded on destruction.
class EngineLibrary {
  public:
    explicit EngineLibrary(const std::string& path = VEXOR_ENGINE_LIBRARY);
    ~EngineLibrary();
    EngineLibrary(const EngineLibrary&) = delete;
    EngineLibrary& operator=(const EngineLibrary&) = delete;

    bool loaded() const { return initialise && scan && close && update; }

    AVInitialiseFn initialise = nullptr;
    AVScanObjectFn scan = nullptr;
    AVCloseFn close = nullptr;
    AVUpdateFn update = nullptr;

  private:
    void* handle_ = nullptr;
};

// Renders each callback message as one line, with `strip` (a scratch folder)
// shown as "$":
//   enter | leave | name $/a.zip/b | not-scanned 3 | infected NAME in $/x at 0 |
//   clean-failed | cleaned 1 $/x | container-start | container-end | summary 0
// Pass Recorder::Callback with the recorder's address as tag 101's value.
class Recorder {
  public:
    explicit Recorder(std::string strip = "") : strip_(std::move(strip)) {}

    static uint32_t Callback(const EngineCallbackContext* context, uint16_t message,
                             uint64_t reserved, uint64_t parameter);

    std::vector<std::string> Lines() const;
    // The lines joined with "\n".
    std::string Text() const;
    void Clear();
    // True when every message so far arrived on thread `id`.
    bool OnlyOn(std::thread::id id) const;

  private:
    std::string Show(const char* text) const;
    void Add(std::string line);

    mutable std::mutex mutex_;
    std::string strip_;
    std::vector<std::string> lines_;
    std::vector<std::thread::id> threads_;
};

// One AVInitialise call with every buffer it points to; valid as built, so a
// test changes one thing and runs it.
struct InitCall {
    InitCall(const std::string& dat_folder, bool with_extra);
    InitCall(const InitCall&) = delete;
    InitCall& operator=(const InitCall&) = delete;

    EngineTagItem* Item(uint16_t tag);
    void Remove(uint16_t tag);
    // Points the request at the items (unless point_items is false) and calls.
    uint16_t Run(EngineLibrary& engine, bool point_items = true);

    std::string paths[4];
    const char* dat_paths[3];
    const char* extra_paths[1];
    EngineFileList dat_list;
    EngineFileList extra_list;
    std::string engine_folder = "/opt/vexor/Engine/6.1.0.0";
    std::vector<EngineTagItem> items;
    EngineRequest request{};
    EngineInitResult result{};
};

// One AVScanObject request for path, with the plug-in's items.
struct ScanCall {
    ScanCall(const std::string& path, Recorder* recorder, bool clean);
    ScanCall(const ScanCall&) = delete;
    ScanCall& operator=(const ScanCall&) = delete;

    EngineTagItem* Item(uint16_t tag);
    uint16_t Run(EngineLibrary& engine, uint64_t handle, uint64_t reserved = 0);

    std::string path;
    EngineObjectDescriptor object{};
    std::vector<EngineTagItem> items;
    EngineRequest request{};
};

std::string SampleSignatureList();
// The sample list as files of version 6543 dated 2024-05-17, written to
// folder (with an extra.dat when extra_list is not empty).
DatFiles WriteSampleSet(const std::string& folder, const std::string& extra_list = "");

struct ZipMember {
    std::string name;
    std::string data;
    bool encrypted = false;
};
// A ZIP archive of deflated members, written by libarchive; members marked
// encrypted are not supported here (see MakeStoredZip).
std::string MakeZip(const std::vector<ZipMember>& members);
// A ZIP archive of stored members written byte by byte; an encrypted member
// carries the encryption flag, a 12-byte encryption header and scrambled
// data, as a traditionally encrypted member does.
std::string MakeStoredZip(const std::vector<ZipMember>& members);
// The names and contents of a ZIP archive's members, "name=data" joined by
// "\n"; "unreadable" when it cannot be read.
std::string ListZip(const std::string& zip);

// An engine started on the sample set in a scratch folder; closed (and
// expected to close) at the end of the test.
class StartedEngineTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The rendered messages of one scan of dir_/name, which must succeed and
    // call back only on this thread.
    std::string Scan(const std::string& name, bool clean = false);

    TesselSoftware::Testing::ScratchDir dir_;
    EngineLibrary engine_;
    uint64_t handle_ = 0;
};

inline constexpr char kEicar[] =
    "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

}  // namespace VexorEngine::Testing
