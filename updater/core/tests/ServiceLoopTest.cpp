// The service loop in fake time: the service clock is the test's, the
// 15-second wait is 20 ms, and a pass is a function of the test's.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "Common/Errors/Win32Error.h"
#include "Common/Logs/EventLog.h"
#include "Common/Rpc/RpcPdu.h"
#include "TestClock.h"
#include "TestSupport.h"
#include "UpdaterTestSupport.h"
#include "core/ScheduleSplay.h"
#include "core/UpdatePassLock.h"
#include "core/UpdaterCore.h"

namespace TesselSoftware {
namespace {

using namespace Testing;

constexpr char kStarted[] = "An update has been started as per the set schedule.\r\n";

RpcServerInterface AnyInterface() {
    RpcServerInterface definition;
    definition.syntax = SyntaxId{*ParseUuid("11111111-2222-3333-4444-555555555555"), 1, 0};
    definition.procedure_count = 1;
    definition.dispatch = [](uint16_t, const RpcCaller&, NdrReader&, NdrWriter&) {};
    return definition;
}

class ServiceLoopTest : public ::testing::Test, protected CoreUnderTest {
protected:
    ServiceLoopTest() {
        // The loop loads the settings: what a test sets up goes to the store.
        RegistryKey key;
        key.Create(RegistryRoot::kLocalMachine, kProductKeyPath);
        core.SetEventLog(&event_log);
        core.SetControlInterface(AnyInterface());
        core.SetPassForTesting([this] {
            ++passes_;
            cancelled_in_pass_ = core.IsCancelled();
            while (hold_pass_) std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (pass_throws_) throw std::runtime_error("broken engine");
        });
    }
    ~ServiceLoopTest() override { StopLoop(); }

    void StartLoop() {
        loop_ = std::thread([this] { ran_ = core.RunLoop(); });
        ASSERT_TRUE(WaitUntil([this] { return Events().size() >= 1; }));  // "has started"
    }
    void StopLoop() {
        if (!loop_.joinable()) return;
        hold_pass_ = false;
        core.Stop();
        loop_.join();
    }
    // Lets the loop wake a few times.
    static void Idle() { std::this_thread::sleep_for(std::chrono::milliseconds(120)); }
    int CountLog(const std::string& text) const {
        int count = 0;
        for (const std::string& line : log.Lines()) count += line.find(text) != std::string::npos;
        return count;
    }

    TestClock clock_{1'800'000'000};
    ScopedServiceClock use_clock_{clock_};
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
    ASSERT_TRUE(WaitUntil([this] { return core.NextCheckTime() == clock_.Now() + core.UpdateInterval(); }));
    EXPECT_EQ(1, CountLog(kStarted));
    Idle();
    EXPECT_EQ(1, passes_.load());  // not due again before the interval
    clock_.Advance(core.UpdateInterval());
    ASSERT_TRUE(WaitUntil([this] { return passes_ == 2; }));
    EXPECT_EQ("Idle", core.GetUpdateStatus().text);
}

// A fleet's splay: the loop's next check after a pass is this machine's
// next slot (k * interval + offset), and the pass is not due before it.
TEST_F(ServiceLoopTest, WithASplayTheNextCheckIsTheMachinesNextSlot) {
    Testing::WriteFile(dir / "etc/machine-id", "7d1a0c2b3e4f56789abcdef012345678\n");
    RegistryKey key;
    key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
    key.WriteDword("UpdateSplaySeconds", 1800);
    const int64_t offset = SplayOffset("7d1a0c2b3e4f56789abcdef012345678", 1800);
    ASSERT_GT(offset, 1) << "pick another machine id: this one's offset proves nothing";
    StartLoop();  // NextCheckTime 0: due at once
    ASSERT_TRUE(WaitUntil([this] { return passes_ == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return core.NextCheckTime() > clock_.Now(); }));
    const int64_t next = core.NextCheckTime();
    EXPECT_LE(next - clock_.Now(), core.UpdateInterval());
    EXPECT_EQ(0, (next - offset) % core.UpdateInterval());
    clock_.Set(next - 1);
    Idle();
    EXPECT_EQ(1, passes_.load()) << "due before the machine's slot";
    clock_.Advance(1);
    ASSERT_TRUE(WaitUntil([this] { return passes_ == 2; }));
}

// The loop over a simulated day, each 15-second wake-up moving the clock
// on by 15 seconds: with a splay, no pass runs between two checks, and the
// passes come one per interval, at the machine's slots.
TEST_F(ServiceLoopTest, OverManyWakeUpsASplayedScheduleRunsOnePassPerInterval) {
    Testing::WriteFile(dir / "etc/machine-id", "7d1a0c2b3e4f56789abcdef012345678\n");
    RegistryKey key;
    key.Open(RegistryRoot::kLocalMachine, kProductKeyPath, kKeyAllAccess);
    key.WriteQword("UpdateInterval", 3600);
    key.WriteDword("UpdateSplaySeconds", 900);
    const int64_t offset = SplayOffset("7d1a0c2b3e4f56789abcdef012345678", 900);
    ASSERT_GT(offset, 15) << "pick another machine id: this one's offset proves nothing";
    std::mutex lock;
    std::vector<int64_t> pass_times;
    core.SetPassForTesting([&] {
        std::lock_guard guard(lock);
        pass_times.push_back(ServiceClock().Now());
    });
    const int64_t start = clock_.Now(), end = start + 86400;
    std::atomic<int> wake_ups{0};
    clock_.SetAdvanceOnWait(true);
    clock_.SetOnWait([&](int64_t now) {
        ++wake_ups;
        if (now >= end) core.Stop();
    });
    StartLoop();
    loop_.join();
    clock_.SetOnWait(nullptr);
    EXPECT_GE(wake_ups.load(), 86400 / 15);
    std::lock_guard guard(lock);
    ASSERT_GE(pass_times.size(), 2u);
    EXPECT_EQ(start + 15, pass_times[0]);  // never checked: due at the first wake-up
    for (size_t i = 1; i < pass_times.size(); ++i) {
        SCOPED_TRACE("pass " + std::to_string(i));
        EXPECT_LT((pass_times[i] - offset) % 3600, 15) << "not at the machine's slot";
        if (i > 1) {
            EXPECT_NEAR(3600, pass_times[i] - pass_times[i - 1], 15);
        }
    }
    EXPECT_NEAR(1 + 24, static_cast<double>(pass_times.size()), 1) << "not one pass per interval";
}

TEST_F(ServiceLoopTest, TriggersWhileIdleGiveOnePassAndATriggerDuringAPassIsDropped) {
    core.SetLastCheckTime(clock_.Now());  // nothing due
    StartLoop();
    clock_.Advance(30);
    core.TriggerUpdate();
    core.TriggerUpdate();
    ASSERT_TRUE(WaitUntil([this] { return passes_ == 1; }));
    ASSERT_TRUE(WaitUntil([this] { return core.LastCheckTime() == clock_.Now(); }));
    Idle();
    EXPECT_EQ(1, passes_.load());
    EXPECT_EQ(0, CountLog(kStarted));  // triggered, not due
    EXPECT_EQ(clock_.Now() + core.UpdateInterval(), core.NextCheckTime());

    hold_pass_ = true;
    core.TriggerUpdate();
    ASSERT_TRUE(WaitUntil([this] { return passes_ == 2; }));
    core.TriggerUpdate();  // during the pass
    hold_pass_ = false;
    Idle();
    EXPECT_EQ(2, passes_.load());
}

TEST_F(ServiceLoopTest, ACancelWhileIdleDoesNotReachTheNextPass) {
    core.SetLastCheckTime(clock_.Now());
    StartLoop();
    core.CancelUpdate();
    core.TriggerUpdate();
    ASSERT_TRUE(WaitUntil([this] { return passes_ == 1; }));
    EXPECT_FALSE(cancelled_in_pass_);
}

TEST_F(ServiceLoopTest, ANextCheckFarInTheFutureIsDueAtOnce) {
    core.SetNextCheckTime(clock_.Now() + 200 * 24 * 3600);  // a clock that was far ahead
    core.Save(SaveScope::Schedule);
    StartLoop();
    ASSERT_TRUE(WaitUntil([this] { return passes_ == 1; }));
    EXPECT_EQ(clock_.Now() + core.UpdateInterval(), core.NextCheckTime());
}

TEST_F(ServiceLoopTest, AStopEndsTheLoopWithinTheWaitOrAfterTheRunningPass) {
    core.SetLastCheckTime(clock_.Now());
    StartLoop();
    hold_pass_ = true;
    core.TriggerUpdate();
    ASSERT_TRUE(WaitUntil([this] { return passes_ == 1; }));
    clock_.Advance(100);
    core.Stop();
    Idle();
    EXPECT_TRUE(core.IsCancelled());  // the pass is asked to end at its next safe point
    EXPECT_TRUE(core.IsUpdating());   // but never cut short from outside
    hold_pass_ = false;
    loop_.join();
    EXPECT_TRUE(ran_);
    EXPECT_EQ(clock_.Now(), core.LastCheckTime());  // and it was recorded
    EXPECT_EQ("", core.StartFailure());
    ASSERT_FALSE(Events().empty());
    EXPECT_NE(std::string::npos, Events().back().find("Vexor Updater Service has stopped\r\n"));
}

TEST_F(ServiceLoopTest, AStopWhileIdleEndsTheWaitAtOnce) {
    core.SetLastCheckTime(clock_.Now());
    TestClock slow_clock(clock_.Now(), 60000);  // a wait far longer than the test
    ScopedServiceClock use_slow(slow_clock);
    StartLoop();
    const auto asked = std::chrono::steady_clock::now();
    StopLoop();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
    EXPECT_EQ(0, passes_.load());
    EXPECT_NE(std::string::npos, Events().back().find("Vexor Updater Service has stopped\r\n"));
}

TEST_F(ServiceLoopTest, AFailedPassIsReportedAndCountsAsAFinishedCheck) {
    core.SetLastCheckTime(clock_.Now());
    pass_throws_ = true;
    StartLoop();
    clock_.Advance(60);
    core.TriggerUpdate();
    // The failed pass still moves the schedule on by an interval.
    ASSERT_TRUE(WaitUntil([this] { return core.LastCheckTime() == clock_.Now(); }));
    EXPECT_EQ(clock_.Now() + core.UpdateInterval(), core.NextCheckTime());
    bool reported = false;
    for (const std::string& event : Events()) reported |= event.find("Engine update error: broken engine") != std::string::npos;
    EXPECT_TRUE(reported);
    EXPECT_EQ("Error: broken engine", core.GetMessageHistory().back().text);
    EXPECT_FALSE(core.IsUpdating());
}

// The loop's own texts, each at the level the text log's mask selects.
TEST_F(ServiceLoopTest, ThePassAndFailureTextsAtTheirLevels) {
    core.SetLastCheckTime(clock_.Now());
    core.SetPassForTesting([] { throw CTLVexorNetException(0, "host unreachable"); });
    StartLoop();
    clock_.Advance(60);
    core.TriggerUpdate();
    ASSERT_TRUE(WaitUntil([this] { return core.LastCheckTime() == clock_.Now(); }));
    EXPECT_EQ(1, CountLog("-1 ******* Performing update *******"));
    bool network = false;
    for (const std::string& event : Events()) network |= event.find("Network Error - host unreachable.") != std::string::npos;
    EXPECT_TRUE(network);
    EXPECT_EQ("Error: host unreachable", core.GetMessageHistory().back().text);
    // A pass whose record cannot be saved is skipped at the loop error level.
    Idle();  // a trigger during the pass's end would be dropped
    auto store = FaultyRegistryStore::Serve();
    store->write_faults.Set("LastCheckTime", Win32::kAccessDenied);
    clock_.Advance(60);
    core.TriggerUpdate();
    ASSERT_TRUE(WaitUntil([this] { return CountLog("1 Error updating dat files.  Skipping this attempts\r\n") >= 1; }));
    store->write_faults.Clear();
}

TEST_F(ServiceLoopTest, TheFailureStatusRecordHasItsLifetimeAndState) {
    core.SetPassForTesting([this] {
        ++passes_;
        throw ExceptionBase(0, "no source");
    });
    core.SetLastCheckTime(clock_.Now());
    TestClock slow_clock(clock_.Now(), 60000);  // no idle status overwrites the record
    ScopedServiceClock use_slow(slow_clock);
    StartLoop();
    Idle();
    core.TriggerUpdate();
    ASSERT_TRUE(WaitUntil([this] { return passes_ == 1 && !core.IsUpdating(); }));
    const UpdateStatus status = core.GetUpdateStatus();
    EXPECT_EQ("Error: no source", status.text);
    EXPECT_EQ(20, status.expiry_seconds);
    EXPECT_EQ(1, status.update_state);
}

// A pass that another pass keeps out is reported as that, not as an
// engine failure, and runs nothing.
TEST_F(ServiceLoopTest, APassKeptOutByAnotherIsReportedAsSuch) {
    core.SetLastCheckTime(clock_.Now());
    std::string busy;
    const auto other = TakeUpdatePassLock(&busy);
    ASSERT_TRUE(other) << busy;
    StartLoop();
    core.TriggerUpdate();
    ASSERT_TRUE(WaitUntil([this] {
        const auto history = core.GetMessageHistory();
        return !history.empty() && history.back().text.starts_with("Error: Another update pass");
    }));
    EXPECT_EQ(0, passes_.load());
    bool reported = false;
    for (const std::string& event : Events()) {
        reported |= event.find("The update pass was not started: Another update pass is running") != std::string::npos;
        EXPECT_EQ(std::string::npos, event.find("Engine update error")) << event;
    }
    EXPECT_TRUE(reported);
}

TEST_F(ServiceLoopTest, AStoreThatRefusesTheIdleStatusDoesNotStopTheService) {
    auto store = FaultyRegistryStore::Serve();
    store->write_faults.Set("StatusDescript", Win32::kAccessDenied);
    core.SetLastCheckTime(clock_.Now());
    StartLoop();
    Idle();
    core.TriggerUpdate();
    ASSERT_TRUE(WaitUntil([this] { return passes_ == 1; }));
    EXPECT_GT(CountLog("Error setting DAT file update status"), 0);
}

TEST_F(ServiceLoopTest, AControlEndpointThatCannotStartEndsTheLoopAsAFailure) {
    CRPCServer squatter;
    squatter.SetEndpointRetryDelayForTesting(1);
    ASSERT_TRUE(squatter.UseEndpoint("VexorfTUpdater_RPC64"));
    core.ControlServer().SetEndpointRetryDelayForTesting(1);
    EXPECT_TRUE(core.RunLoop());
    EXPECT_EQ("Unable to initialize RPC server", core.StartFailure());
    const std::vector<std::string> events = Events();
    ASSERT_EQ(3u, events.size());
    EXPECT_NE(std::string::npos, events[0].find("Unable to initialize RPC server\r\n"));
    EXPECT_NE(std::string::npos, events[1].find("Error Updating DAT Files - Unable to initialize RPC server\r\n"));
    EXPECT_NE(std::string::npos, events[2].find("Vexor Updater Service has stopped\r\n"));
    EXPECT_EQ(1, CountLog("1 stopping service...\r\n"));  // at the loop error level
    EXPECT_EQ(0, passes_.load());
}

TEST_F(ServiceLoopTest, TheStartAndStopEventsAreInformation) {
    StartLoop();
    StopLoop();
    const std::vector<std::string> events = Events();
    ASSERT_EQ(3u, events.size());
    EXPECT_EQ("VexorDatUpdater64 4 0x000003E8 Vexor Updater Service has started\r\n", events[0]);
    // No trusted key under the scratch root: one warning per start.
    EXPECT_EQ(0u, events[1].rfind("VexorDatUpdater64 2 0x800007D0 Updates are not signature-checked: no trusted key in " +
                                  dir / "etc/vexor/trusted-keys", 0))
        << events[1];
    EXPECT_EQ("VexorDatUpdater64 4 0x000003E8 Vexor Updater Service has stopped\r\n", events[2]);
}

TEST_F(ServiceLoopTest, OnlyOneLoopRunsAtATime) {
    StartLoop();
    EXPECT_FALSE(core.RunLoop());
    bool warned = false;
    for (const std::string& event : Events()) {
        warned |= event.find("DAT File Updater Thread already running when requested to run again?") != std::string::npos;
    }
    EXPECT_TRUE(warned);
}

}  // namespace
}  // namespace TesselSoftware
