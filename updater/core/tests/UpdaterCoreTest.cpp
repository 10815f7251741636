#include <gtest/gtest.h>

#include "Common/ProductKey.h"
#include "core/UpdaterCore.h"
#include "TestClock.h"
#include "TestSupport.h"
#include "UpdaterTestSupport.h"

namespace TesselSoftware {
namespace {

class UpdaterCoreTest : public ::testing::Test {
protected:
    UpdaterCoreTest() : root_env_("VEXOR_SYSTEM_ROOT", dir_.path()) {
        core_.Load();
    }
    std::string RegistryStatus() const { return core_.GetUpdateStatus().text; }

    Testing::ScratchDir dir_;
    Testing::ScopedEnv root_env_;
    Testing::RecordingLog log_;
    UpdaterCore core_{log_};
    Testing::TestClock clock_{1000};
    ScopedServiceClock use_clock_{clock_};
};

TEST_F(UpdaterCoreTest, RepeatedMessagesFoldAndTheHistoryKeepsTwenty) {
    for (int i = 0; i < 3; ++i) {
        clock_.Set(1000 + i);
        core_.AddMessage("Downloading '%s'", "oem.ini");
    }
    auto history = core_.GetMessageHistory();
    ASSERT_EQ(1u, history.size());
    EXPECT_EQ((MessageEntry{1002, "Downloading 'oem.ini'"}), history[0]);
    EXPECT_EQ(3u, log_.Lines().size());  // every addition reaches the text log
    EXPECT_EQ("-1 Downloading 'oem.ini'\r\n", log_.Lines()[0]);

    core_.AddMessage("downloading 'oem.ini'");  // case matters
    EXPECT_EQ(2u, core_.GetMessageHistory().size());
    for (int i = 0; i < 25; ++i) core_.AddMessage("message %d", i);
    history = core_.GetMessageHistory();
    ASSERT_EQ(20u, history.size());
    EXPECT_EQ("message 5", history.front().text);
    EXPECT_EQ("message 24", history.back().text);
}

TEST_F(UpdaterCoreTest, ProgressCodesSetStatusRegistryAndMessages) {
    struct Row {
        int code;
        const char* status_text;
        const char* registry;
        const char* message;
    } rows[] = {
        {0, "Check finished.", "Check finished.\r\n", "Check finished."},
        {4, "Unzipping DAT files.", "Unzipping DAT files.", "Unzipping DAT files."},
        {6, "Applying patch 2 of 3", "Applying patch 2 of 3", "Applying patch 2 of 3"},
        {9, "Retrieving main definition files from source.",
         "Retrieving main definition files from source.",
         "Retrieving main definition files from source.."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.code);
        core_.ReportProgress(row.code, "Applying patch 2 of 3", 0);
        EXPECT_EQ(row.status_text, core_.GetCurrentStatusText());
        EXPECT_EQ(row.registry, RegistryStatus());
        EXPECT_EQ(row.message, core_.GetMessageHistory().back().text);
        const UpdateStatus status = core_.GetUpdateStatus();
        EXPECT_EQ(20, status.expiry_seconds);
        EXPECT_EQ(1, status.update_state);
    }
}

TEST_F(UpdaterCoreTest, UpToDateOnlyAddsAMessageAndOtherCodesDoNothing) {
    core_.SetCurrentStatusText("Checking");
    core_.SetUpdateStatus("Checking", 20, 1);
    core_.ReportProgress(7, "", 0);
    EXPECT_EQ("Checking", core_.GetCurrentStatusText());
    EXPECT_EQ("Checking", RegistryStatus());
    EXPECT_EQ("Definition files are up to date.", core_.GetMessageHistory().back().text);
    const size_t messages = core_.GetMessageHistory().size();
    for (int code : {1, 2, 3, 5, 8, 10, -1}) core_.ReportProgress(code, "ignored", 0);
    EXPECT_EQ("Checking", core_.GetCurrentStatusText());
    EXPECT_EQ("Checking", RegistryStatus());
    EXPECT_EQ(messages, core_.GetMessageHistory().size());
}

TEST_F(UpdaterCoreTest, TriggerIsOneSignalAndCancelIsAFlagTheLoopClears) {
    core_.TriggerUpdate();
    core_.TriggerUpdate();
    EXPECT_TRUE(core_.TriggerEvent().Wait(0));
    EXPECT_FALSE(core_.TriggerEvent().Wait(0));  // two triggers, one pass
    EXPECT_TRUE(log_.Contains("A DAT update has been triggered from the configuration tool.\r\n"));

    EXPECT_FALSE(core_.IsCancelled());
    core_.CancelUpdate();
    EXPECT_TRUE(core_.IsCancelled());
    EXPECT_TRUE(log_.Contains("A DAT update has been cancelled from the configuration tool.\r\n"));
    core_.ClearCancel();
    EXPECT_FALSE(core_.IsCancelled());

    EXPECT_FALSE(core_.IsUpdating());
    core_.SetUpdating(true);
    EXPECT_TRUE(core_.IsUpdating());
}

TEST_F(UpdaterCoreTest, BecomesTheCurrentProgressSinkForItsLifetime) {
    EXPECT_EQ(&core_, CurrentUpdateProgress());
}

}  // namespace
}  // namespace TesselSoftware
