// CStatusPage: the "Status" tab. Shows the versions, the last and next
// update attempt, the status line and the service's recent messages, and
// starts or cancels an update. Refreshes itself every 10 s (every second
// while an update runs), only while it is the active tab.
#pragma once

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include "client/VexorUpdateRpc.h"

namespace TesselSoftware::VexorConfig {

class CStatusPage : public QWidget {
    Q_OBJECT

public:
    explicit CStatusPage(RPCClient::CVexorUpdateRpc& rpc, QWidget* parent = nullptr);

    // The tab became active / inactive.
    void Activate();
    void Deactivate();
    // Reads everything from the service and shows it; false after a
    // transport failure (shown once, the button disabled, the timer stopped).
    bool Refresh();

    QPushButton* Button() const { return button_; }
    QPlainTextEdit* Log() const { return log_; }
    QLabel* StatusLabel() const { return status_; }
    bool TimerActive() const { return timer_.isActive(); }
    int TimerInterval() const { return timer_.interval(); }

private:
    void OnButton();
    void Fail(const QString& text);

    RPCClient::CVexorUpdateRpc& rpc_;
    QLabel* engine_version_;
    QLabel* signature_version_;
    QLabel* last_attempt_;
    QLabel* next_attempt_;
    QLabel* status_;
    QPushButton* button_;
    QPlainTextEdit* log_;
    QTimer timer_;
    bool running_ = false;
};

}  // namespace TesselSoftware::VexorConfig
