// VexorConfig: the administrators' window onto the updater service.
#include <QApplication>
#include <QMessageBox>

#include "VexorConfig/VexorConfigDlg.h"

int main(int argc, char** argv) {
    using namespace TesselSoftware;
    QApplication application(argc, argv);
    QApplication::setApplicationName("VexorConfig");
    VexorConfig::CVexorConfigDlg dialog;
    QString message;
    if (!dialog.ProbeService(&message)) {
        QMessageBox::critical(nullptr, dialog.windowTitle(), message);
        return 1;
    }
    dialog.CreatePages();
    dialog.exec();
    return 0;
}
