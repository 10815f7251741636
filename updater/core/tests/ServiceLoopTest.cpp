// The service loop in fake time: the clock is the test's, the 15-second
// wait is 20 ms, and a pass is a function of the test's.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Common/EventLog.h"
#include "Common/Platform/Win32Error.h"
#include "Common/RpcPdu.h"
#include "core/UpdaterCore.h"
#include "TestSupport.h"
#include "UpdaterTestSupport.h"

namespace TesselSoftware {
namespace {

using namespace Testing;

constexpr char kStarted[] = "An update has been started as per the set schedule.\r\n";

RpcServerInterface AnyInterface() {
    RpcServerInterface spec;
    spec.syntax = SyntaxId{*ParseUuid("11111111-2222-3333-4444-555555555555"), 1, 0};
    spec.procedure_count = 1;
    spec.dispatch = [](uint16_t, const RpcCaller&, NdrReader&, NdrWriter&) {};
    return spec;
}

class ServiceLoopTest : public ::testing::Test {
protected:
    ServiceLoopTest() : env_("VEXOR_SYSTEM_ROOT", dir_.path()) {
        // The loop loads the settings: what a test sets up goes to the store.
        RegistryKey key;
        key.Create(RegistryRoot::kLocalMachine, kProductKeyPath);
        core_.SetClockForTesting([this] { return now_.load(); });
        core_.SetEventLog(&event_log_);
        core_.SetWaitForTesting(20);
        core_.SetControlInterface(AnyInterface());
        core_.SetPassForTesting([this] {
            ++passes_;
            cancelled_in_pass_ = core_.IsCancelled();
            while (hold_pass_) std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (pass_throws_) throw std::runtime_error("broken engine");
        });
    }
    ~ServiceLoopTest() override { StopLoop(); }

    void StartLoop() {
        loop_ = std::thread([this] { ran_ = core_.RunLoop(); });
        ASSERT_TRUE(WaitUntil([this] { return Events().size() >= 1; }));  // "has started"
    }
    void StopLoop() {
        if (!loop_.joinable()) return;
        hold_pass_ = false;
        core_.Stop();
        loop_.join();
    }
    // Lets the loop wake a few times.
    static void Idle() { std::this_thread::sleep_for(std::chrono::milliseconds(120)); }
    std::vector<std::string> Events() const { return sink_->Events(); }
    int CountLog(const std::string& text) const {
        int count = 0;
        for (const std::string& line : log_.Lines()) count += line.find(text) != std::string::npos;
        return count;
    }

    ScratchDir dir_;
    ScopedEnv env_;
    RecordingLog log_;
    UpdaterCore core_{log_};
    std::shared_ptr<RecordingEventSink> sink_ = std::make_shared<RecordingEventSink>();
    CDTLEventLog event_log_{"VexorDatUpdater64", false, true, sink_};
    std::atomic<int64_t> now_{1'800'000'000};
    std::atomic<int> passes_{0};
    std::atomic<bool> hold_pass_{false};
    std::atomic<bool> pass_throws_{false};
    std::atomic<bool> cancelled_in_pass_{false};
    std::atomic<bool> ran_{false};
    std::thread loop_;
};

TEST_F(ServiceLoopTest, ANeverRunScheduleStartsAtTheFirstWakeUpAndThenWaitsAnInterval) {
    StartLoop();  // NextCheckTime 0
    ASSERT_TRUE(WaitUntil([this] { return passes_ == 1; }));
    ASSERT_TRUE(WaitUntil([this] { return core_.NextCheckTime() == now_ + core_.UpdateInterval(); }));
    EXPECT_EQ(1, CountLog(kStarted));
    Idle();
    EXPECT_EQ(1, passes_.load());  // not due again before the interval
    now_ += core_.UpdateInterval();
    ASSERT_TRUE(WaitUntil([this] { return passes_ == 2; }));
    EXPECT_EQ("Idle", core_.GetUpdateStatus().text);
}

TEST_F(ServiceLoopTest, TriggersWhileIdleGiveOnePassAndATriggerDuringAPassIsDropped) {
    core_.SetLastCheckTime(now_);  // nothing due
    StartLoop();
    now_ += 30;
    core_.TriggerUpdate();
    core_.TriggerUpdate();
    ASSERT_TRUE(WaitUntil([this] { return passes_ == 1; }));
    ASSERT_TRUE(WaitUntil([this] { return core_.LastCheckTime() == now_; }));
    Idle();
    EXPECT_EQ(1, passes_.load());
    EXPECT_EQ(0, CountLog(kStarted));  // triggered, not due
    EXPECT_EQ(now_ + core_.UpdateInterval(), core_.NextCheckTime());

    hold_pass_ = true;
    core_.TriggerUpdate();
    ASSERT_TRUE(WaitUntil([this] { return passes_ == 2; }));
    core_.TriggerUpdate();  // during the pass
    hold_pass_ = false;
    Idle();
    EXPECT_EQ(2, passes_.load());
}

TEST_F(ServiceLoopTest, ACancelWhileIdleDoesNotReachTheNextPass) {
    core_.SetLastCheckTime(now_);
    StartLoop();
    core_.CancelUpdate();
    core_.TriggerUpdate();
    ASSERT_TRUE(WaitUntil([this] { return passes_ == 1; }));
    EXPECT_FALSE(cancelled_in_pass_);
}

TEST_F(ServiceLoopTest, ANextCheckFarInTheFutureIsDueAtOnce) {
    core_.SetNextCheckTime(now_ + 200 * 24 * 3600);  // a clock that was far ahead
    core_.Save(SaveScope::Schedule);
    StartLoop();
    ASSERT_TRUE(WaitUntil([this] { return passes_ == 1; }));
    EXPECT_EQ(now_ + core_.UpdateInterval(), core_.NextCheckTime());
}

TEST_F(ServiceLoopTest, AStopEndsTheLoopWithinTheWaitOrAfterTheRunningPass) {
    core_.SetLastCheckTime(now_);
    StartLoop();
    hold_pass_ = true;
    core_.TriggerUpdate();
    ASSERT_TRUE(WaitUntil([this] { return passes_ == 1; }));
    now_ += 100;
    core_.Stop();
    Idle();
    EXPECT_TRUE(core_.IsUpdating());  // the pass is not cut short
    hold_pass_ = false;
    loop_.join();
    EXPECT_TRUE(ran_);
    EXPECT_EQ(now_.load(), core_.LastCheckTime());  // and it was recorded
    EXPECT_EQ("", core_.StartFailure());
    ASSERT_FALSE(Events().empty());
    EXPECT_NE(std::string::npos, Events().back().find("Vexor Updater Service has stopped\r\n"));
}

TEST_F(ServiceLoopTest, AStopWhileIdleEndsTheWaitAtOnce) {
    core_.SetLastCheckTime(now_);
    core_.SetWaitForTesting(60000);  // a wait far longer than the test
    StartLoop();
    const auto asked = std::chrono::steady_clock::now();
    StopLoop();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
    EXPECT_EQ(0, passes_.load());
    EXPECT_NE(std::string::npos, Events().back().find("Vexor Updater Service has stopped\r\n"));
}

TEST_F(ServiceLoopTest, AFailedPassIsReportedAndCountsAsAFinishedCheck) {
    core_.SetLastCheckTime(now_);
    pass_throws_ = true;
    StartLoop();
    now_ += 60;
    core_.TriggerUpdate();
    // The failed pass still moves the schedule on by an interval.
    ASSERT_TRUE(WaitUntil([this] { return core_.LastCheckTime() == now_; }));
    EXPECT_EQ(now_ + core_.UpdateInterval(), core_.NextCheckTime());
    bool reported = false;
    for (const std::string& event : Events()) reported |= event.find("Engine update error: broken engine") != std::string::npos;
    EXPECT_TRUE(reported);
    EXPECT_EQ("Error: broken engine", core_.GetMessageHistory().back().text);
    EXPECT_FALSE(core_.IsUpdating());
}

TEST_F(ServiceLoopTest, AStoreThatRefusesTheIdleStatusDoesNotStopTheService) {
    auto store = FaultyRegistryStore::Serve();
    store->write_faults["StatusDescript"] = Win32::kAccessDenied;
    core_.SetLastCheckTime(now_);
    StartLoop();
    Idle();
    core_.TriggerUpdate();
    ASSERT_TRUE(WaitUntil([this] { return passes_ == 1; }));
    EXPECT_GT(CountLog("Error setting DAT file update status"), 0);
}

TEST_F(ServiceLoopTest, AControlEndpointThatCannotStartEndsTheLoopAsAFailure) {
    CRPCServer squatter;
    squatter.SetEndpointRetryDelayForTesting(1);
    ASSERT_TRUE(squatter.UseEndpoint("VexorfTUpdater_RPC64"));
    core_.ControlServer().SetEndpointRetryDelayForTesting(1);
    EXPECT_TRUE(core_.RunLoop());
    EXPECT_EQ("Unable to initialize RPC server", core_.StartFailure());
    const std::vector<std::string> events = Events();
    ASSERT_EQ(3u, events.size());
    EXPECT_NE(std::string::npos, events[0].find("Unable to initialize RPC server\r\n"));
    EXPECT_NE(std::string::npos, events[1].find("Error Updating DAT Files - Unable to initialize RPC server\r\n"));
    EXPECT_NE(std::string::npos, events[2].find("Vexor Updater Service has stopped\r\n"));
    EXPECT_EQ(0, passes_.load());
}

TEST_F(ServiceLoopTest, OnlyOneLoopRunsAtATime) {
    StartLoop();
    EXPECT_FALSE(core_.RunLoop());
    bool warned = false;
    for (const std::string& event : Events()) {
        warned |= event.find("DAT File Updater Thread already running when requested to run again?") != std::string::npos;
    }
    EXPECT_TRUE(warned);
}

}  // namespace
}  // namespace TesselSoftware
