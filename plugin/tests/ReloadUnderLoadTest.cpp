// Four threads scan without pause while the DAT set and then the engine are
// replaced: no scan may fail, each change restarts the engine once, and a
// signature only the new set has is found once the check has run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "EngineState.h"
#include "PluginTestSupport.h"
#include "TestSupport.h"
#include "VexorScanner.h"

namespace TesselSoftware {
namespace {

TEST(ReloadUnderLoad, NoScanFailsAndTheNewSetIsUsed) {
    Testing::PluginTestRoot();
    Testing::ClearProductKey();
    Testing::ScratchDir dir;
    Testing::ConfigureEngine(VEXOR_ENGINE_LIBRARY_DIR, "engine-1");
    Testing::ConfigureDat(Testing::WriteTestDatSet(dir / "dat/avvdat-1-files", 1), 1);
    Testing::WriteFile(dir / "new.bin", std::string("xx") + Testing::kNewMarker + "yy");
    Testing::WriteFile(dir / "clean.bin", std::string(4096, 'c'));

    EngineState& engine = EngineState::Instance();
    std::atomic<int64_t> now{std::time(nullptr)};
    engine.SetClockForTesting([&] { return now.load(); });
    engine.SetPollPauseForTesting(5);

    constexpr int kThreads = 4;
    Testing::RecordingLogger logger;
    std::vector<std::unique_ptr<CVexorScanner>> scanners;
    for (int i = 0; i < kThreads; ++i) {
        scanners.push_back(std::make_unique<CVexorScanner>());
        scanners.back()->SetLogger(&logger);
        Testing::OwnedInfo info;
        Testing::OwnedText error;
        ASSERT_EQ(kInitReady, scanners.back()->Initialise(nullptr, &info, &error)) << error.str();
    }

    std::atomic<bool> stop{false};
    std::atomic<int> failures{0}, new_found{0}, scans{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            while (!stop.load()) {
                Testing::OwnedText virus, message;
                const std::string path = dir / (i % 2 ? "clean.bin" : "new.bin");
                const int32_t code = scanners[i]->ScanFile(path.c_str(), &virus, &message);
                if (code == kScanFailed) failures++;
                if (code == kScanInfected && virus.str() == "Test.New") new_found++;
                scans++;
            }
        });
    }
    const auto wait_for_scans = [&](int more) {
        const int target = scans.load() + more;
        while (scans.load() < target) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    const auto restarts = [&] {
        int count = 0;
        for (const std::string& line : logger.Lines()) {
            count += line == "1 Vexor engine successfully reinitialized.\n";
        }
        return count;
    };
    // The thread that checks may be held up while the others scan on with
    // the old engine (by design): wait for the reload itself, bounded.
    const auto wait_for_restarts = [&](int count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (restarts() < count && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    wait_for_scans(200);
    EXPECT_EQ(0, new_found.load());  // version 1 does not know the signature

    Testing::ConfigureDat(Testing::WriteTestDatSet(dir / "dat/avvdat-2-files", 2), 2);
    now += 61;
    wait_for_restarts(1);
    wait_for_scans(400);
    EXPECT_GT(new_found.load(), 0);

    Testing::ConfigureEngine(VEXOR_ENGINE_LIBRARY_DIR, "engine-2");
    now += 16;
    wait_for_restarts(2);
    wait_for_scans(400);
    stop = true;
    for (auto& thread : threads) thread.join();

    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(2, restarts());
    EXPECT_TRUE(logger.Contains("Updating Vexor engine to version 2 DAT file."));
    for (auto& scanner : scanners) scanner->Uninitialise();
    EXPECT_EQ(0u, engine.handle());
    engine.SetClockForTesting([] { return static_cast<int64_t>(std::time(nullptr)); });
    engine.SetPollPauseForTesting(250);
}

}  // namespace
}  // namespace TesselSoftware
