// CVexorConfigDlg: the tool's window, "Vexor for Tessel 64 bit": the four
// pages in tabs and OK / Cancel / Apply. It owns the client of the service.
// F1 shows the current page's help topic when the help pages are installed.
#pragma once

#include <QDialog>
#include <QDialogButtonBox>
#include <QTabWidget>

#include "VexorConfig/AboutPage.h"
#include "VexorConfig/SettingsPage.h"
#include "VexorConfig/StatusPage.h"
#include "client/VexorUpdateRpc.h"

namespace TesselSoftware::VexorConfig {

class CVexorConfigDlg : public QDialog {
    Q_OBJECT

public:
    // Binds to the service's endpoint; the pages load from it when shown.
    explicit CVexorConfigDlg(QWidget* parent = nullptr);

    RPCClient::CVexorUpdateRpc& Client() { return rpc_; }
    // Asks the service for its versions before anything is shown: false,
    // with the message for the user, when it cannot be reached. A refusal
    // (a false result) still lets the window open.
    bool ProbeService(QString* message);
    // Builds the pages (after the start probe succeeded).
    void CreatePages();
    // Applies both settings pages; false when one refused (the dialog stays).
    bool ApplyAll();

    CStatusPage* StatusPage() const { return status_; }
    CSettingsPage* DatPage() const { return dat_; }
    CSettingsPage* EnginePage() const { return engine_; }
    QTabWidget* Tabs() const { return tabs_; }
    QDialogButtonBox* Buttons() const { return buttons_; }

    // The help file of topic beside the program, or "" when not installed.
    static QString HelpFile(const QString& topic);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void done(int result) override;

private:
    void OnTabChanged(int index);
    void ShowHelp();

    RPCClient::CVexorUpdateRpc rpc_;
    QTabWidget* tabs_;
    QDialogButtonBox* buttons_;
    CStatusPage* status_ = nullptr;
    CSettingsPage* dat_ = nullptr;
    CSettingsPage* engine_ = nullptr;
    int previous_tab_ = -1;
};

}  // namespace TesselSoftware::VexorConfig
