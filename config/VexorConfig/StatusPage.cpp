#include "VexorConfig/StatusPage.h"

#include <QApplication>
#include <QFormLayout>
#include <QGroupBox>
#include <QMessageBox>
#include <QScrollBar>
#include <QThread>
#include <QVBoxLayout>

#include "Common/Text/TextConversion.h"
#include "logic/StatusPageText.h"

namespace TesselSoftware::VexorConfig {

namespace {

QLabel* ValueLabel() {
    auto* label = new QLabel;
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setWordWrap(true);
    return label;
}

}  // namespace

CStatusPage::CStatusPage(RPCClient::CVexorUpdateRpc& rpc, QWidget* parent)
    : QWidget(parent), rpc_(rpc), engine_version_(ValueLabel()), signature_version_(ValueLabel()),
      last_attempt_(ValueLabel()), next_attempt_(ValueLabel()), status_(ValueLabel()),
      button_(new QPushButton(tr("&Start Update"))), log_(new QPlainTextEdit) {
    auto* versions = new QGroupBox(tr("Version Information"));
    auto* version_form = new QFormLayout(versions);
    version_form->addRow(tr("&Engine version:"), engine_version_);
    version_form->addRow(tr("Signature version:"), signature_version_);

    auto* status = new QGroupBox(tr("Update Status"));
    auto* status_form = new QFormLayout(status);
    status_form->addRow(tr("&Last update attempt:"), last_attempt_);
    status_form->addRow(tr("&Next update attempt:"), next_attempt_);
    status_form->addRow(tr("&Current status:"), status_);
    status_form->addRow(QString(), button_);

    auto* log_group = new QGroupBox(tr("Update L&og"));
    auto* log_layout = new QVBoxLayout(log_group);
    log_->setReadOnly(true);
    log_->setLineWrapMode(QPlainTextEdit::NoWrap);
    log_layout->addWidget(log_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(versions);
    layout->addWidget(status);
    layout->addWidget(log_group, 1);

    connect(button_, &QPushButton::clicked, this, &CStatusPage::OnButton);
    connect(&timer_, &QTimer::timeout, this, [this] { Refresh(); });
}

void CStatusPage::Activate() {
    if (Refresh()) timer_.start(RefreshIntervalMs(running_));
}

void CStatusPage::Deactivate() { timer_.stop(); }

void CStatusPage::Fail(const QString& text) {
    // One box per failure: the timer stops until the page is shown again.
    timer_.stop();
    button_->setEnabled(false);
    QMessageBox::warning(this, window()->windowTitle(), text);
}

bool CStatusPage::Refresh() {
    const bool was_running = running_;
    std::string engine, dat;
    RPCClient::UpdaterStatus status;
    RPCClient::TRPCClientArray<VexorLogEntry> entries;
    try {
        rpc_.GetVersionInfo(engine, dat);
        rpc_.GetStatus(status);
        rpc_.GetLogEntries(entries);
    } catch (const RPCClient::CRPCException& e) {
        Fail(QString::fromStdString(e.Message()).trimmed());
        return false;
    }
    running_ = status.is_update_running;
    button_->setEnabled(true);
    button_->setText(running_ ? tr("Stop Update") : tr("Start Update"));
    std::vector<std::pair<int64_t, std::string>> lines;
    for (int32_t i = 0; i < entries.Count(); ++i) {
        lines.emplace_back(entries[i].time, entries[i].text != nullptr ? WideToNarrow(entries[i].text) : "");
    }
    if (running_ != was_running && timer_.isActive()) timer_.start(RefreshIntervalMs(running_));
    engine_version_->setText(QString::fromStdString(engine));
    signature_version_->setText(QString::fromStdString(dat));
    last_attempt_->setText(QString::fromStdString(FormatAttemptTime(status.last_update)));
    next_attempt_->setText(QString::fromStdString(FormatAttemptTime(status.next_update)));
    status_->setText(QString::fromStdString(StatusLine(status.status)));
    log_->setPlainText(QString::fromStdString(ComposeLog(lines)));
    // The newest message in view.
    log_->verticalScrollBar()->setValue(log_->verticalScrollBar()->maximum());
    return true;
}

void CStatusPage::OnButton() {
    const bool was_running = running_;
    if (!Refresh() || running_ != was_running) return;  // the button was out of date
    try {
        if (running_) {
            rpc_.StopUpdate();
        } else {
            rpc_.StartUpdate();
            timer_.start(RefreshIntervalMs(true));
        }
    } catch (const RPCClient::CRPCException& e) {
        Fail(QString::fromStdString(e.Message()).trimmed());
        return;
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QThread::msleep(100);
    QApplication::restoreOverrideCursor();
    Refresh();
}

}  // namespace TesselSoftware::VexorConfig
