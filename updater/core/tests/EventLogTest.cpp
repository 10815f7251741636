#include <gtest/gtest.h>

#include "Common/Registry/RegistryKey.h"
#include "TestSupport.h"
#include "UpdaterTestSupport.h"
#include "core/VexorUpdaterEventLog.h"

namespace TesselSoftware {
namespace {

class EventLogTest : public ::testing::Test {
protected:
    EventLogTest() : root_env_("VEXOR_SYSTEM_ROOT", dir_.path()) {}
    Testing::ScratchDir dir_;
    Testing::ScopedEnv root_env_;
    Testing::RecordingLog text_log_;
    std::shared_ptr<Testing::RecordingEventSink> sink_ =
        std::make_shared<Testing::RecordingEventSink>();
};

TEST_F(EventLogTest, ReportingBeforeOpenFailsAndIsMirrored) {
    CVexorUpdaterEventLog log(text_log_, false, false, sink_);
    EXPECT_FALSE(log.ReportInformation("Starting Vexor DAT Updater...\n"));
    EXPECT_EQ("EventLog not open", log.LastError());
    EXPECT_EQ((std::vector<std::string>{"8 Event - EventLog not open\n"}), text_log_.Lines());
    EXPECT_TRUE(sink_->Events().empty());
}

TEST_F(EventLogTest, LineEndsAreBareInTheMirrorAndFullInTheEvent) {
    CVexorUpdaterEventLog log(text_log_, false, true, sink_);
    EXPECT_TRUE(log.ReportError("Error Updating DAT Files - %s\r\n", "first\r\nsecond"));
    EXPECT_TRUE(log.ReportWarning("warn\n"));
    EXPECT_TRUE(log.ReportInformation("info"));
    EXPECT_TRUE(log.ReportErrorWithId(0xC0001388, "custom"));
    EXPECT_TRUE(log.Log(kLogTrace, "through ILogging"));
    EXPECT_EQ((std::vector<std::string>{
                  "VexorDatUpdater64 1 0xC0000BB8 Error Updating DAT Files - first\r\nsecond\r\n",
                  "VexorDatUpdater64 2 0x800007D0 warn\r\n",
                  "VexorDatUpdater64 4 0x000003E8 info",
                  "VexorDatUpdater64 1 0xC0001388 custom",
                  "VexorDatUpdater64 1 0xC0000BB8 through ILogging",
              }),
              sink_->Events());
    EXPECT_EQ("8 Event - Error Updating DAT Files - first\nsecond\n\n", text_log_.Lines()[0]);
}

TEST_F(EventLogTest, AWriteTheJournalRefusesIsAFailureWithItsText) {
    sink_->fail_with = 5;
    CVexorUpdaterEventLog log(text_log_, false, true, sink_);
    EXPECT_FALSE(log.ReportInformation("hello"));
    EXPECT_EQ("Failed to log event err=5 - Access is denied.\r\n", log.LastError());
    EXPECT_EQ("8 Event - Failed to log event err=5 - Access is denied.\r\n\n", text_log_.Lines().back());
}

TEST_F(EventLogTest, FirstOpenedLogIsCurrentUntilItCloses) {
    CDTLEventLog first("first", false, true, sink_);
    CDTLEventLog second("second", false, true, sink_);
    EXPECT_EQ(&first, CurrentEventLog());
    second.Close();
    EXPECT_EQ(&first, CurrentEventLog());
    first.Close();
    EXPECT_EQ(nullptr, CurrentEventLog());
}

TEST_F(EventLogTest, RegisterWritesTheSourceKey) {
    CDTLEventLog log("VexorDatUpdater64", true, false, sink_);
    RegistryKey key;
    key.Open(RegistryRoot::kLocalMachine,
             "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\VexorDatUpdater64",
             kKeyRead);
    EXPECT_EQ(31u, key.ReadRequiredDword("TypesSupported"));
    EXPECT_FALSE(key.ReadRequiredString("EventMessageFile").empty());
}

TEST_F(EventLogTest, ConstructorThrowsWhenAskedToRegisterAndItCannot) {
    // A store file that is not a database cannot take the key.
    Testing::WriteFile(dir_ / "var/lib/vexor/registry.db", std::string(4096, 'x'));
    try {
        CDTLEventLog log("broken", true, false, sink_);
        FAIL() << "no exception";
    } catch (const CEventException& e) {
        EXPECT_EQ("Could not create registry key", e.Message());
    }
}

// Without a journal every event still reaches the text log, and one line
// says so there, instead of a failure line after each event.
TEST_F(EventLogTest, AMissingJournalIsSaidOnceAndEveryEventIsMirrored) {
    for (const std::string& socket : {dir_ / "no-journal/socket", dir_ / "plain-file"}) {
        SCOPED_TRACE(socket);
        Testing::RecordingLog text_log;
        Testing::WriteFile(dir_ / "plain-file", "not a socket");
        CVexorUpdaterEventLog log(text_log, false, true, JournalEventSink(socket));
        EXPECT_FALSE(log.ReportInformation("nobody listens"));
        EXPECT_FALSE(log.ReportError("nobody listens either"));
        EXPECT_EQ("Failed to log event err=2 - The system cannot find the file specified.\r\n",
                  log.LastError());
        EXPECT_EQ((std::vector<std::string>{"8 Event - nobody listens\n",
                                            "8 Event - No journal is running: events are written to the text log only.\n\n",
                                            "8 Event - nobody listens either\n"}),
                  text_log.Lines());
    }
}

TEST_F(EventLogTest, TheRealJournalNeverThrows) {
    // With or without a journal on this machine: a result, never a crash.
    CDTLEventLog log("VexorDatUpdater64-test", false, true);
    const bool written = log.ReportInformation("test event from the event log tests");
    EXPECT_EQ(written, log.LastError().empty());
    if (!Testing::Exists(kJournalSocketPath)) {
        EXPECT_FALSE(written);
    }
}

}  // namespace
}  // namespace TesselSoftware
