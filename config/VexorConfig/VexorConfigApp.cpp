// VexorConfig: the administrators' window onto the updater service.
#include <QApplication>
#include <QMessageBox>

#include "VexorConfig/VexorConfigDlg.h"

int main(int argc, char** argv) {
    using namespace TesselSoftware;
    QApplication application(argc, argv);
    QApplication::setApplicationName("VexorConfig");
    VexorConfig::CVexorConfigDlg dialog;
    // The service must answer before anything is shown; a refusal (false)
    // still lets the window open.
    try {
        std::string engine, dat;
        dialog.Client().GetVersionInfo(engine, dat);
    } catch (const RPCClient::CRPCException&) {
        QMessageBox::critical(nullptr, dialog.windowTitle(),
                              QObject::tr("Failed to connect to Tessel Vexor Updater service.\n\n"
                                          "Please ensure the service is running."));
        return 1;
    }
    dialog.CreatePages();
    dialog.exec();
    return 0;
}
