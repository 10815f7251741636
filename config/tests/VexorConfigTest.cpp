// The configuration tool's window against the real control procedures and a
// scripted service, offscreen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QScrollBar>
#include <QTimer>

#include <thread>

#include "ControlTestSupport.h"
#include "VexorConfig/VexorConfigDlg.h"
#include "logic/FallbackSetting.h"

namespace TesselSoftware::VexorConfig {
namespace {

using namespace Testing;

// One application for the whole program, offscreen, in a fixed zone.
QApplication& Application() {
    static int argc = 1;
    static char name[] = "VexorConfigTests";
    static char* argv[] = {name, nullptr};
    static QApplication* application = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("TZ", "UTC");
        qputenv("LC_ALL", "C");  // the application takes its locale from here
        return new QApplication(argc, argv);
    }();
    return *application;
}

// Closes every message box as it opens and keeps its text.
class MessageBoxes {
public:
    MessageBoxes() {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts.push_back(box->text());
                box->done(0);
            }
        });
        timer_.start();
    }
    std::vector<QString> texts;

private:
    QTimer timer_;
};

// Makes the application exist before any member that needs it.
struct WithApplication {
    WithApplication() { Application(); }
};

class VexorConfigTest : public ::testing::Test, private WithApplication, protected ServiceUnderTest {
protected:
    void SetUp() override { ASSERT_TRUE(server_->Start(handlers)); }
    std::unique_ptr<CVexorConfigDlg> Dialog() {
        auto dialog = std::make_unique<CVexorConfigDlg>();
        dialog->CreatePages();
        return dialog;
    }
    std::unique_ptr<TestServer> server_ = std::make_unique<TestServer>(dir.path());
    MessageBoxes boxes_;
};

TEST_F(VexorConfigTest, TheWindowShowsTheFourPagesInOrder) {
    auto dialog = Dialog();
    EXPECT_EQ("Vexor for Tessel 64 bit", dialog->windowTitle());
    const QStringList expected = {"Status", "Signature Updates", "Engine Updates", "About"};
    ASSERT_EQ(4, dialog->Tabs()->count());
    for (int i = 0; i < 4; ++i) EXPECT_EQ(expected[i], dialog->Tabs()->tabText(i));
}

TEST_F(VexorConfigTest, TheStatusPageShowsTheServiceAndStartsAnUpdate) {
    core.SetCurrentStatusText("Checking\r\nfor updates");
    for (int i = 0; i < 20; ++i) core.AddMessage("message %d", i);
    auto dialog = Dialog();
    CStatusPage* page = dialog->StatusPage();
    EXPECT_EQ("Checking  for updates", page->StatusLabel()->text());
    const QStringList lines = page->Log()->toPlainText().split('\n');
    ASSERT_EQ(20, lines.size());
    EXPECT_TRUE(lines.last().endsWith("    message 19"));
    EXPECT_EQ(page->Log()->verticalScrollBar()->maximum(), page->Log()->verticalScrollBar()->value());
    EXPECT_TRUE(page->TimerActive());
    EXPECT_EQ(10000, page->TimerInterval());
    EXPECT_EQ("Start Update", page->Button()->text());
    page->Button()->click();
    EXPECT_TRUE(core.TriggerEvent().Wait(0));
    // The service started a pass on its own meanwhile: the click only
    // brings the button up to date.
    core.SetUpdating(true);
    page->Button()->click();
    EXPECT_FALSE(core.TriggerEvent().Wait(0));
    EXPECT_FALSE(core.IsCancelled());
    EXPECT_EQ("Stop Update", page->Button()->text());
    EXPECT_EQ(1000, page->TimerInterval());
    EXPECT_TRUE(boxes_.texts.empty());
}

TEST_F(VexorConfigTest, AServiceThatGoesAwayGivesOneMessageAndStopsTheTimer) {
    auto dialog = Dialog();
    CStatusPage* page = dialog->StatusPage();
    server_.reset();  // the service stops
    EXPECT_FALSE(page->Refresh());
    ASSERT_EQ(1u, boxes_.texts.size());
    EXPECT_TRUE(boxes_.texts[0].startsWith("Failed to get Vexor version info. Error 1722")) << boxes_.texts[0].toStdString();
    EXPECT_FALSE(page->TimerActive());
    EXPECT_FALSE(page->Button()->isEnabled());

    CSettingsPage* dat = dialog->DatPage();
    dat->ProxyUser()->textEdited("changed");
    EXPECT_FALSE(dat->Apply());
    EXPECT_TRUE(dat->LastApplyError().startsWith("Failed to set Vexor updater settings. Error 1722"));
    EXPECT_EQ(2u, boxes_.texts.size());

    QString message;
    EXPECT_FALSE(dialog->ProbeService(&message));
    EXPECT_EQ("Failed to connect to Tessel Vexor Updater service.\n\nPlease ensure the service is running.", message);
}

// The fallback sites root stored show on each page, read-only, in order.
TEST_F(VexorConfigTest, EachSettingsPageShowsItsFallbackSites) {
    ASSERT_EQ("", VexorConfig::WriteFallbackSetting(true, {"http://origin.example/site", "/srv/dat-copy"}));
    auto dialog = Dialog();
    const std::string dat = dialog->DatPage()->FallbackSites()->text().toStdString();
    EXPECT_NE(std::string::npos, dat.find("http://origin.example/site\n/srv/dat-copy")) << dat;
    const std::string engine = dialog->EnginePage()->FallbackSites()->text().toStdString();
    EXPECT_EQ(0u, engine.rfind("None: a pass that fails on the source above fails.", 0)) << engine;
    EXPECT_NE(std::string::npos, engine.find("vexorctl engine set fallback=")) << engine;
}

TEST_F(VexorConfigTest, SettingsPagesLoadChooseTheFrequencyAndRefuseBadInput) {
    core.SetUpdateInterval(700);
    core.EngineSourceSettings().SetProxyPort(50000);
    core.Save(SaveScope::Everything);
    auto dialog = Dialog();
    CSettingsPage* dat = dialog->DatPage();
    EXPECT_EQ("Every 15 minutes", dat->Frequency()->currentText());
    EXPECT_EQ("50000", dialog->EnginePage()->ProxyPort()->text());  // not negative

    dat->SourceRadio(2)->click();
    EXPECT_TRUE(dat->LocalDirectory()->isEnabled());
    EXPECT_FALSE(dat->Url()->isEnabled());
    EXPECT_FALSE(dat->ShareDirectory()->isEnabled());
    // A folder the service's sandbox hides is named before the first pass fails.
    dat->LocalDirectory()->setText("/home/admin/dat");
    EXPECT_FALSE(dat->LocalWarning()->isHidden());
    EXPECT_TRUE(dat->LocalWarning()->text().contains("cannot see /home/admin/dat")) << dat->LocalWarning()->text().toStdString();
    dat->SourceRadio(0)->click();
    EXPECT_TRUE(dat->LocalWarning()->isHidden()) << "warned of a folder that is not the source";
    dat->SourceRadio(2)->click();
    dat->LocalDirectory()->setText("/srv/vexor/dat");
    EXPECT_TRUE(dat->LocalWarning()->isHidden());

    dat->Url()->setText("not a site");
    EXPECT_FALSE(dat->Apply());
    EXPECT_EQ("Invalid URL", dat->LastApplyError());
    dat->Url()->setText("http://mirror.example.test/dat");
    dat->UseProxy()->setChecked(true);
    dat->ProxyPort()->setText("70000");
    EXPECT_FALSE(dat->Apply());
    EXPECT_EQ("The proxy port number must be between 1 and 65535.", dat->LastApplyError());
    dat->UseProxy()->setChecked(false);  // the typed port is ignored now
    EXPECT_TRUE(dat->Apply());
    EXPECT_EQ(2, core.DATSource());
    EXPECT_EQ(900, core.UpdateInterval());
    EXPECT_EQ(8080, core.DatSourceSettings().ProxyPort());  // sent back unchanged

    CSettingsPage* engine = dialog->EnginePage();
    engine->ProxyUser()->setText("user");
    engine->ProxyUser()->textEdited("user");
    EXPECT_TRUE(engine->Apply());
    EXPECT_EQ(50000, core.EngineSourceSettings().ProxyPort());  // above 32767, unchanged
    EXPECT_EQ(2u, boxes_.texts.size());  // one box per refused Apply
}

// A service that cannot be read leaves the pages unable to send anything.
class UnreadableSettings final : public FixedProcedures {
public:
    uint8_t UpdaterGetDatSettings(const RpcCaller& VEXOR_PARAMS_UpdaterGetDatSettings(VEXOR_TEST_UNNAMED_PARAM)) override {
        return 0;
    }
    uint8_t UpdaterGetEngineSettings(const RpcCaller& VEXOR_PARAMS_UpdaterGetEngineSettings(VEXOR_TEST_UNNAMED_PARAM)) override {
        return 0;
    }
    uint8_t UpdaterSetDatSettings(const RpcCaller& VEXOR_PARAMS_UpdaterSetDatSettings(VEXOR_TEST_UNNAMED_PARAM)) override {
        ++sets;
        return 1;
    }
    uint8_t UpdaterSetEngineSettings(const RpcCaller& VEXOR_PARAMS_UpdaterSetEngineSettings(VEXOR_TEST_UNNAMED_PARAM)) override {
        ++sets;
        return 1;
    }
    std::atomic<int> sets{0};
};

TEST(VexorConfigLoad, APageWhoseLoadFailedNeverApplies) {
    Application();
    ScratchDir dir;
    UnreadableSettings procedures;
    TestServer server(dir.path());
    ASSERT_TRUE(server.Start(procedures));
    CVexorConfigDlg dialog;
    dialog.CreatePages();
    for (CSettingsPage* page : {dialog.DatPage(), dialog.EnginePage()}) {
        EXPECT_TRUE(page->LoadFailed());
        EXPECT_FALSE(page->isEnabled());
        page->Url()->textEdited("typed");
    }
    EXPECT_TRUE(dialog.ApplyAll());
    EXPECT_EQ(0, procedures.sets.load());
}

}  // namespace
}  // namespace TesselSoftware::VexorConfig

namespace TesselSoftware::VexorConfig {
namespace {

TEST(VexorConfigStuckService, ACallThatGetsNoAnswerEndsInOneMessageAfterTheTimeOut) {
    Application();
    ScratchDir dir;
    ScriptedProcedures procedures;
    std::atomic<bool> release{false};
    procedures.on_status = [&](char16_t**) {
        for (int i = 0; i < 3000 && !release; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return uint8_t{1};
    };
    TestServer server(dir.path());
    ASSERT_TRUE(server.Start(procedures));
    MessageBoxes boxes;
    CVexorConfigDlg dialog;
    const auto started = std::chrono::steady_clock::now();
    dialog.CreatePages();  // the status page refreshes and waits for its answer
    const auto waited = std::chrono::steady_clock::now() - started;
    release = true;
    EXPECT_LT(waited, std::chrono::seconds(20));
    ASSERT_EQ(1u, boxes.texts.size());
    EXPECT_TRUE(boxes.texts[0].startsWith("Failed to get Vexor updater status. Error 1726")) << boxes.texts[0].toStdString();
    EXPECT_FALSE(dialog.StatusPage()->TimerActive());
}

}  // namespace
}  // namespace TesselSoftware::VexorConfig
