// vexorconfig-screenshots OUT_FOLDER: renders each tab of the configuration
// tool in typical states to PNG files, against a service run in this
// process on a scratch system root. For looking at the layout, not a test.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "Common/Clock.h"
#include "Common/Logs/EventLog.h"
#include "Common/Logs/TextLog.h"
#include "Common/Rpc/RPCServer.h"
#include "VexorConfig/VexorConfigDlg.h"
#include "control/UpdaterControlHandlers.h"
#include "rpc/UpdaterControlServer.h"

namespace {

using namespace TesselSoftware;

class NoEvents : public IEventSink {
public:
    uint32_t Write(const std::string&, IEventLogging::EventType, uint32_t, const std::string&) override { return 0; }
};

// The screenshots' fixed moment, moved on by hand between messages.
class PictureClock final : public Clock {
public:
    int64_t Now() override { return now; }
    int WaitForAny(std::initializer_list<AutoResetEvent*> events, int64_t timeout_ms) override {
        return AutoResetEvent::WaitForAny(events, timeout_ms);
    }
    int64_t now = 1765200000;
};

void Save(QWidget* widget, const QString& path) {
    widget->show();
    QApplication::processEvents();
    widget->grab().save(path);
    std::printf("%s\n", path.toStdString().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: vexorconfig-screenshots OUT_FOLDER\n");
        return 2;
    }
    const QString out = argv[1];
    std::filesystem::create_directories(argv[1]);
    char root_template[] = "/tmp/vexor-screenshots-XXXXXX";
    const std::string root = ::mkdtemp(root_template);
    ::setenv("VEXOR_SYSTEM_ROOT", root.c_str(), 1);
    ::setenv("TZ", "UTC", 1);
    QApplication application(argc, argv);

    PictureClock clock;
    ScopedServiceClock use_clock(clock);
    CTextLog log(1, 0, 0, 0);
    UpdaterCore core(log);
    core.Load();
    CDTLEventLog events("VexorDatUpdater64", false, true, std::make_shared<NoEvents>());
    UpdaterControlHandlers handlers(core, events);
    CRPCServer server;
    if (!server.UseEndpoint("VexorfTUpdater_RPC64") || !server.RegisterInterface(UpdaterControl::ServerInterface(handlers)) ||
        !server.Listen()) {
        std::fprintf(stderr, "the service did not start\n");
        return 1;
    }
    core.SetLastCheckTime(clock.now - 600);
    core.SetCurrentStatusText("Idle");
    for (const char* message : {"******* Performing update *******", "Checking for new Engine files",
                                "Finished Engine file check", "Checking for new DAT files",
                                "Found DAT version 101 available for retrieval.", "Performing incremental update...",
                                "Successfully updated to 101", "Check finished."}) {
        core.AddMessage("%s", message);
        clock.now += 2;
    }
    // An internet source through an authenticating proxy for the engine.
    core.SetEngineUpdateSource(0);
    core.EngineSourceSettings().SetUseProxy(true);
    core.EngineSourceSettings().SetProxyName("proxy.example.test");
    core.EngineSourceSettings().SetProxyPort(3128);
    core.EngineSourceSettings().SetProxyRequiresLogon(true);
    core.EngineSourceSettings().SetProxyUserName("gateway");
    core.EngineSourceSettings().SetProxyPassword("secret");
    // A local folder for the signatures.
    core.SetDATSource(2);
    core.DatSourceSettings().SetLocalDirectory("/srv/vexor/updates");
    core.SetUpdateInterval(900);
    core.Save(SaveScope::Everything);

    {
        VexorConfig::CVexorConfigDlg dialog;
        dialog.CreatePages();
        Save(&dialog, out + "/status-idle.png");
        const QStringList names = {"signature-updates-local", "engine-updates-proxy", "about"};
        for (int tab = 1; tab <= names.size(); ++tab) {
            dialog.Tabs()->setCurrentIndex(tab);
            Save(&dialog, out + "/" + names[tab - 1] + ".png");
        }
    }
    {
        core.SetUpdating(true);
        for (int i = 0; i < 20; ++i) core.AddMessage("Downloading 'avvdat-%d.upd'", 100 + i);
        core.SetCurrentStatusText("Downloading 'avvdat-119.upd'");
        VexorConfig::CVexorConfigDlg dialog;
        dialog.CreatePages();
        Save(&dialog, out + "/status-running.png");
        // A refused Apply: the page and its message.
        dialog.Tabs()->setCurrentIndex(1);
        dialog.DatPage()->Url()->setText("not a site");
        dialog.DatPage()->Url()->textEdited("not a site");
        QTimer::singleShot(50, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                Save(box, out + "/signature-updates-invalid-url.png");
                box->done(0);
            }
        });
        dialog.DatPage()->Apply();
    }
    server.UnregisterAll();
    std::filesystem::remove_all(root);
    return 0;
}
