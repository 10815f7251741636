// VexorConfig: the administrators' window onto the updater service.
#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstring>

#include "VexorConfig/VexorConfigDlg.h"

namespace {

constexpr char kUsage[] =
    "Usage: VexorConfig [Qt options]\n"
    "Opens a window onto the running Vexor DAT updater service: its status and message\n"
    "history, a button that starts an update, and the signature and engine update\n"
    "settings. F1 shows the current tab's help page.\n"
    "\n"
    "Run it as root or as a member of vexor-admin; members of vexor see the status only.\n"
    "Without a reachable service it says so and ends. vexorctl does the same from a shell.\n"
    "\n"
    "  --help    show this text\n"
    "Qt's own options apply too, for example -platform offscreen.\n"
    "Exit status: 0 the window was closed, 1 the service could not be reached.\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace TesselSoftware;
    // Answered before Qt starts, so it works without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
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
