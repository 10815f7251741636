#include "VexorConfig/VexorConfigDlg.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QKeyEvent>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace TesselSoftware::VexorConfig {

namespace {

// Calls give up rather than leave the window hanging on a stuck service.
constexpr int kCallTimeoutMs = 10000;

}  // namespace

CVexorConfigDlg::CVexorConfigDlg(QWidget* parent)
    : QDialog(parent), tabs_(new QTabWidget),
      buttons_(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply)) {
    setWindowTitle(tr("Vexor for Tessel") + " 64 bit");
    rpc_.SetCallTimeout(kCallTimeoutMs);
    rpc_.CreateBinding(RPCClient::kUpdaterEndpoint);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(buttons_);
    connect(buttons_, &QDialogButtonBox::accepted, this, [this] {
        if (ApplyAll()) accept();
    });
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons_->button(QDialogButtonBox::Apply), &QPushButton::clicked, this, &CVexorConfigDlg::ApplyAll);
    resize(560, 640);
}

bool CVexorConfigDlg::ProbeService(QString* message) {
    try {
        std::string engine, dat;
        rpc_.GetVersionInfo(engine, dat);
        return true;
    } catch (const RPCClient::CRPCException&) {
        *message = tr("Failed to connect to Tessel Vexor Updater service.\n\nPlease ensure the service is running.");
        return false;
    }
}

void CVexorConfigDlg::CreatePages() {
    status_ = new CStatusPage(rpc_);
    dat_ = new CSettingsPage(CSettingsPage::Kind::kDat, rpc_);
    engine_ = new CSettingsPage(CSettingsPage::Kind::kEngine, rpc_);
    tabs_->addTab(status_, tr("Status"));
    tabs_->addTab(dat_, tr("Signature Updates"));
    tabs_->addTab(engine_, tr("Engine Updates"));
    tabs_->addTab(new CAboutPage, tr("About"));
    connect(tabs_, &QTabWidget::currentChanged, this, &CVexorConfigDlg::OnTabChanged);
    OnTabChanged(tabs_->currentIndex());
}

void CVexorConfigDlg::OnTabChanged(int index) {
    if (previous_tab_ == 0 && status_ != nullptr) status_->Deactivate();
    if (index == 0 && status_ != nullptr) status_->Activate();
    previous_tab_ = index;
}

bool CVexorConfigDlg::ApplyAll() {
    for (CSettingsPage* page : {dat_, engine_}) {
        if (page != nullptr && !page->Apply()) {
            tabs_->setCurrentWidget(page);
            return false;
        }
    }
    return true;
}

void CVexorConfigDlg::done(int result) {
    if (status_ != nullptr) status_->Deactivate();
    QDialog::done(result);
}

QString CVexorConfigDlg::HelpFile(const QString& topic) {
    const QString path = QCoreApplication::applicationDirPath() + "/help/" + topic;
    return QFileInfo::exists(path) ? path : QString();
}

void CVexorConfigDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F1) {
        ShowHelp();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CVexorConfigDlg::ShowHelp() {
    QString topic = "About_tab.htm";
    if (tabs_->currentWidget() == status_) topic = "Status.htm";
    if (auto* page = qobject_cast<CSettingsPage*>(tabs_->currentWidget())) topic = page->HelpTopic();
    const QString file = HelpFile(topic);
    if (file.isEmpty()) return;  // no help installed: F1 does nothing
    auto* browser = new QTextBrowser;
    browser->setAttribute(Qt::WA_DeleteOnClose);
    browser->setWindowTitle(windowTitle() + " - " + tr("Help"));
    browser->setSource(QUrl::fromLocalFile(file));
    browser->resize(520, 480);
    browser->show();
}

}  // namespace TesselSoftware::VexorConfig
