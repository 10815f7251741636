// Several threads scanning on one engine handle, and AVClose while a scan
// is running. Run under ThreadSanitizer too (label "threads").
#include <gtest/gtest.h>

#include <condition_variable>
#include <thread>

#include "EngineTestSupport.h"

namespace VexorEngine::Testing {
namespace {

using TesselSoftware::Testing::WriteFile;
using EngineThreads = StartedEngineTest;

TEST_F(EngineThreads, FourThreadsScanOnOneHandleWithTheirOwnCallbacks) {
    WriteFile(dir_ / "clean.txt", std::string(300000, 'c'));
    WriteFile(dir_ / "eicar.com", kEicar);
    WriteFile(dir_ / "mail.zip", MakeZip({{"a.txt", "alpha"}, {"eicar.com", kEicar}}));
    WriteFile(dir_ / "nested.zip",
              MakeZip({{"in.zip", MakeZip({{"x", "VEXOR-UNCLEANABLE-TEST-SIGNATURE"}})}}));
    const std::vector<std::string> names = {"clean.txt", "eicar.com", "mail.zip", "nested.zip"};
    std::vector<std::string> expected;
    for (const std::string& name : names) {
        expected.push_back(Scan(name));
    }
    ASSERT_EQ(
        "enter\nname $/eicar.com\ninfected EICAR-Test-File in $/eicar.com at 0\n"
        "summary 3\nleave",
        expected[1]);

    std::vector<std::string> failures[4];
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 40; ++round) {
                const size_t which = static_cast<size_t>(t + round) % names.size();
                Recorder recorder(dir_.path());
                ScanCall call(dir_ / names[which], &recorder, false);
                const uint16_t status = call.Run(engine_, handle_);
                if (status != 0 || recorder.Text() != expected[which] ||
                    !recorder.OnlyOn(std::this_thread::get_id())) {
                    failures[t].push_back(names[which] + ": status " + std::to_string(status) +
                                          "\n" + recorder.Text());
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int t = 0; t < 4; ++t) {
        SCOPED_TRACE("thread " + std::to_string(t));
        EXPECT_TRUE(failures[t].empty()) << failures[t].front();
    }
}

// Holds the scan inside its first callback until released.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;

    static uint32_t Callback(const EngineCallbackContext* context, uint16_t message, uint64_t,
                             uint64_t) {
        auto* gate = reinterpret_cast<Gate*>(context->context);
        if (message != kEngineMsgEnterObject) {
            return 0;
        }
        std::unique_lock<std::mutex> lock(gate->mutex);
        gate->entered = true;
        gate->changed.notify_all();
        gate->changed.wait(lock, [gate] { return gate->released; });
        return 0;
    }
};

TEST_F(EngineThreads, CloseIsRefusedWhileAScanRunsAndSucceedsAfter) {
    WriteFile(dir_ / "f", "data");
    Gate gate;
    ScanCall call(dir_ / "f", nullptr, false);
    call.Item(kEngineTagCallback)->value =
        reinterpret_cast<uint64_t>(reinterpret_cast<void*>(&Gate::Callback));
    call.Item(kEngineTagCallbackContext)->value = reinterpret_cast<uint64_t>(&gate);
    uint16_t scan_status = 99;
    std::thread scanner([&] { scan_status = call.Run(engine_, handle_); });
    {
        std::unique_lock<std::mutex> lock(gate.mutex);
        gate.changed.wait(lock, [&] { return gate.entered; });
    }
    EXPECT_EQ(kEngineStatusBusy, engine_.close(handle_));
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.released = true;
        gate.changed.notify_all();
    }
    scanner.join();
    EXPECT_EQ(0, scan_status);
    EXPECT_EQ(0, engine_.close(handle_));
    handle_ = 0;
}

}  // namespace
}  // namespace VexorEngine::Testing
