// CSettingsPage: the "Signature Updates" tab (DAT source and check
// frequency) and, as CEngineUpdateSettingsPage, the "Engine Updates" tab.
// Loads its values from the service when built and sends them back on
// Apply; a page whose load failed never applies, so it cannot wipe the
// service's settings with its empty fields.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QWidget>

#include "client/VexorUpdateRpc.h"

namespace TesselSoftware::VexorConfig {

class CSettingsPage : public QWidget {
    Q_OBJECT

public:
    enum class Kind { kDat, kEngine };

    CSettingsPage(Kind kind, RPCClient::CVexorUpdateRpc& rpc, QWidget* parent = nullptr);

    // Sends the page's values; false (after one message box) when the
    // service or a check refused them. True and nothing sent when the page
    // is unchanged or its load failed.
    bool Apply();
    bool IsModified() const { return modified_; }
    bool LoadFailed() const { return load_failed_; }
    // The message of the last refused Apply ("" when none).
    const QString& LastApplyError() const { return last_error_; }

    // The help topic of the page.
    QString HelpTopic() const;

    // For tests and screenshots.
    QComboBox* Frequency() const { return frequency_; }
    QLineEdit* Url() const { return url_; }
    QLineEdit* ProxyPort() const { return proxy_port_; }
    QCheckBox* UseProxy() const { return use_proxy_; }
    QCheckBox* RequiresLogon() const { return requires_logon_; }
    QRadioButton* SourceRadio(int32_t type) const;
    QLineEdit* LocalDirectory() const { return local_directory_; }
    // The warning under the local folder: shown while the local folder is
    // the source and the service cannot see the folder typed there.
    QLabel* LocalWarning() const { return local_warning_; }
    QLineEdit* ProxyUser() const { return proxy_user_; }
    QLineEdit* ShareDirectory() const { return share_directory_; }
    QLineEdit* SharePassword() const { return share_password_; }
    // The stored fallback sites of the page's kind, read-only.
    QLabel* FallbackSites() const { return fallback_sites_; }

private:
    void Load();
    // Controls -> fields (the port only while a proxy is used).
    void ReadControls();
    void ApplyEnablingRule();
    void UpdateLocalWarning();
    void MarkModified() { modified_ = true; }
    void BrowseLocal();
    void BrowseShare();

    const Kind kind_;
    RPCClient::CVexorUpdateRpc& rpc_;
    RPCClient::DatSettings dat_;           // the DAT page's fields
    RPCClient::EngineSettings engine_;     // the engine page's fields
    int64_t typed_port_ = 0;
    bool load_failed_ = false;
    bool modified_ = false;
    QString last_error_;

    QComboBox* frequency_ = nullptr;  // DAT page only
    QRadioButton* from_url_;
    QRadioButton* from_local_;
    QRadioButton* from_share_;
    QLineEdit* url_;
    QPushButton* use_default_;
    QCheckBox* use_proxy_;
    QLineEdit* proxy_server_;
    QLineEdit* proxy_port_;
    QCheckBox* requires_logon_;
    QLineEdit* proxy_user_;
    QLineEdit* proxy_password_;
    QLineEdit* local_directory_;
    QPushButton* browse_local_;
    QLabel* local_warning_;
    QLineEdit* share_directory_;
    QPushButton* browse_share_;
    QLineEdit* share_user_;
    QLineEdit* share_password_;
    QLabel* fallback_sites_;
};

}  // namespace TesselSoftware::VexorConfig
