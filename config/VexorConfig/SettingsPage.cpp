#include "VexorConfig/SettingsPage.h"

#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "logic/FallbackSetting.h"
#include "logic/ServiceSandbox.h"
#include "logic/SettingsPageRules.h"
#include "logic/ShareFolder.h"

namespace TesselSoftware::VexorConfig {

namespace {

constexpr char kDefaultDatSite[] = "http://update.vexor.example/Products/CommonUpdater";
constexpr char kDefaultEngineSite[] = "https://engine.vexor.example/engine610";

QLineEdit* PasswordEdit() {
    auto* edit = new QLineEdit;
    edit->setEchoMode(QLineEdit::Password);
    return edit;
}

// A row indented under the check box or radio it belongs to.
QWidget* Indented(QLayout* layout) {
    auto* holder = new QWidget;
    auto* outer = new QHBoxLayout(holder);
    outer->setContentsMargins(24, 0, 0, 0);
    outer->addLayout(layout);
    return holder;
}

}  // namespace

CSettingsPage::CSettingsPage(Kind kind, RPCClient::CVexorUpdateRpc& rpc, QWidget* parent)
    : QWidget(parent), kind_(kind), rpc_(rpc),
      from_url_(new QRadioButton(kind == Kind::kDat ? tr("&Download from URL") : tr("Download from URL"))),
      from_local_(new QRadioButton(kind == Kind::kDat ? tr("&Local Directory") : tr("Local Directory"))),
      from_share_(new QRadioButton(kind == Kind::kDat ? tr("&Network Share") : tr("Network Share"))),
      url_(new QLineEdit), use_default_(new QPushButton(tr("Use Default"))),
      use_proxy_(new QCheckBox(tr("Use a &proxy server for access to the internet"))),
      proxy_server_(new QLineEdit), proxy_port_(new QLineEdit),
      requires_logon_(new QCheckBox(tr("&The proxy server requires user authentication"))),
      proxy_user_(new QLineEdit), proxy_password_(PasswordEdit()), local_directory_(new QLineEdit),
      browse_local_(new QPushButton(tr("Browse..."))), local_warning_(new QLabel), share_directory_(new QLineEdit),
      browse_share_(new QPushButton(tr("Browse..."))), share_user_(new QLineEdit), share_password_(PasswordEdit()),
      fallback_sites_(new QLabel) {
    auto* layout = new QVBoxLayout(this);
    if (kind_ == Kind::kDat) {
        frequency_ = new QComboBox;
        for (const FrequencyItem& item : kFrequencies) frequency_->addItem(tr(item.text), QVariant::fromValue(item.seconds));
        auto* group = new QGroupBox(tr("Update Frequency"));
        auto* form = new QFormLayout(group);
        form->addRow(tr("&Check for updates:"), frequency_);
        layout->addWidget(group);
        connect(frequency_, &QComboBox::currentIndexChanged, this, &CSettingsPage::MarkModified);
    }
    proxy_port_->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]{0,5}"), proxy_port_));
    proxy_port_->setMaxLength(5);

    auto* source = new QGroupBox(tr("Update Source"));
    auto* grid = new QVBoxLayout(source);
    auto* url_row = new QHBoxLayout;
    url_row->addWidget(url_, 1);
    url_row->addWidget(use_default_);
    auto* proxy_form = new QFormLayout;
    proxy_form->addRow(tr("Proxy &server:"), proxy_server_);
    proxy_form->addRow(tr("Proxy p&ort:"), proxy_port_);
    auto* logon_form = new QFormLayout;
    logon_form->addRow(tr("&User name:"), proxy_user_);
    logon_form->addRow(tr("Pass&word:"), proxy_password_);
    auto* proxy_box = new QVBoxLayout;
    proxy_box->addWidget(use_proxy_);
    proxy_box->addWidget(Indented(proxy_form));
    proxy_box->addWidget(requires_logon_);
    proxy_box->addWidget(Indented(logon_form));
    auto* internet = new QVBoxLayout;
    internet->addLayout(url_row);
    internet->addLayout(proxy_box);

    auto* local_row = new QHBoxLayout;
    local_row->addWidget(local_directory_, 1);
    local_row->addWidget(browse_local_);
    local_warning_->setWordWrap(true);
    local_warning_->setStyleSheet("color: #9a5b00");
    local_warning_->hide();
    auto* local = new QVBoxLayout;
    local->addLayout(local_row);
    local->addWidget(local_warning_);

    auto* share_row = new QHBoxLayout;
    share_row->addWidget(share_directory_, 1);
    share_row->addWidget(browse_share_);
    auto* share_form = new QFormLayout;
    share_form->addRow(kind_ == Kind::kDat ? tr("Us&er name:") : tr("User name:"), share_user_);
    share_form->addRow(kind_ == Kind::kDat ? tr("Passwo&rd:") : tr("Password:"), share_password_);
    auto* share = new QVBoxLayout;
    share->addLayout(share_row);
    share->addLayout(share_form);

    grid->addWidget(from_url_);
    grid->addWidget(Indented(internet));
    grid->addWidget(from_local_);
    grid->addWidget(Indented(local));
    grid->addWidget(from_share_);
    grid->addWidget(Indented(share));
    layout->addWidget(source);
    // Read-only here: root sets the list with vexorctl (it is not a setting
    // the control endpoint carries).
    auto* fallbacks = new QGroupBox(tr("Fallback Sites"));
    auto* fallback_box = new QVBoxLayout(fallbacks);
    fallback_sites_->setWordWrap(true);
    fallback_sites_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    fallback_box->addWidget(fallback_sites_);
    layout->addWidget(fallbacks);
    layout->addStretch(1);

    for (QLineEdit* edit : {url_, proxy_server_, proxy_port_, proxy_user_, proxy_password_, local_directory_,
                            share_directory_, share_user_, share_password_}) {
        connect(edit, &QLineEdit::textEdited, this, &CSettingsPage::MarkModified);
    }
    for (QCheckBox* box : {use_proxy_, requires_logon_}) {
        connect(box, &QCheckBox::clicked, this, [this] {
            MarkModified();
            ApplyEnablingRule();
        });
    }
    for (QRadioButton* radio : {from_url_, from_local_, from_share_}) {
        connect(radio, &QRadioButton::clicked, this, [this] {
            MarkModified();
            ReadControls();
            ApplyEnablingRule();
        });
    }
    connect(use_default_, &QPushButton::clicked, this, [this] {
        url_->setText(kind_ == Kind::kDat ? kDefaultDatSite : kDefaultEngineSite);
        MarkModified();
    });
    connect(browse_local_, &QPushButton::clicked, this, &CSettingsPage::BrowseLocal);
    connect(local_directory_, &QLineEdit::textChanged, this, &CSettingsPage::UpdateLocalWarning);
    connect(browse_share_, &QPushButton::clicked, this, &CSettingsPage::BrowseShare);
    Load();
}

QString CSettingsPage::HelpTopic() const { return kind_ == Kind::kDat ? "Settings.htm" : "EngineSettings.htm"; }

QRadioButton* CSettingsPage::SourceRadio(int32_t type) const {
    return type == 2 ? from_local_ : type == 1 ? from_share_ : from_url_;
}

void CSettingsPage::Load() {
    dat_.source.proxy_port = 80;  // shown when the service cannot be read
    bool loaded = false;
    try {
        loaded = kind_ == Kind::kDat ? rpc_.GetDatSourceSettings(dat_) : rpc_.GetEngineUpdateSettings(engine_);
    } catch (const RPCClient::CRPCException&) {
        loaded = false;
    }
    load_failed_ = !loaded;
    const RPCClient::SourceValues& source = kind_ == Kind::kDat ? dat_.source : engine_.source;
    const int32_t type = kind_ == Kind::kDat ? dat_.dat_source : engine_.downloader_type;
    url_->setText(QString::fromStdString(source.source_url));
    use_proxy_->setChecked(source.use_proxy_server);
    proxy_server_->setText(QString::fromStdString(source.proxy_server));
    proxy_port_->setText(QString::number(source.proxy_port));
    requires_logon_->setChecked(source.proxy_requires_logon);
    proxy_user_->setText(QString::fromStdString(source.proxy_user));
    proxy_password_->setText(QString::fromStdString(source.proxy_password));
    local_directory_->setText(QString::fromStdString(source.local_directory));
    share_directory_->setText(QString::fromStdString(source.net_share_directory));
    share_user_->setText(QString::fromStdString(source.net_share_user_name));
    share_password_->setText(QString::fromStdString(source.net_share_password));
    SourceRadio(type)->setChecked(true);
    const auto fallbacks = VexorConfig::ReadFallbackSetting(kind_ == Kind::kDat);
    QStringList sites;
    for (const std::string& site : fallbacks.value_or(std::vector<std::string>{})) sites << QString::fromStdString(site);
    const QString command = kind_ == Kind::kDat ? "vexorctl dat set fallback=URL[,URL...]" : "vexorctl engine set fallback=URL[,URL...]";
    if (!fallbacks) {
        fallback_sites_->setText(tr("The fallback sites could not be read from the settings store."));
    } else if (sites.isEmpty()) {
        fallback_sites_->setText(tr("None: a pass that fails on the source above fails. Root adds sites with \"%1\".")
                                     .arg(command));
    } else {
        fallback_sites_->setText(tr("When a pass fails on the source above, it starts again from each of these in "
                                    "turn:\n%1\n(Root changes the list with \"%2\".)")
                                     .arg(sites.join("\n"), command));
    }
    if (frequency_ != nullptr && loaded) frequency_->setCurrentIndex(static_cast<int>(FrequencyIndexFor(dat_.update_interval)));
    if (load_failed_) {
        // Nothing here came from the service: nothing here may go back to it.
        setEnabled(false);
        setToolTip(tr("The settings could not be read from the service."));
    }
    ReadControls();
    ApplyEnablingRule();
    modified_ = false;
}

void CSettingsPage::ReadControls() {
    RPCClient::SourceValues& source = kind_ == Kind::kDat ? dat_.source : engine_.source;
    int32_t& type = kind_ == Kind::kDat ? dat_.dat_source : engine_.downloader_type;
    source.source_url = url_->text().toStdString();
    source.use_proxy_server = use_proxy_->isChecked();
    source.proxy_server = proxy_server_->text().toStdString();
    // The port is taken only while a proxy is used; otherwise the loaded one
    // goes back unchanged.
    typed_port_ = use_proxy_->isChecked() ? proxy_port_->text().toLongLong() : source.proxy_port;
    source.proxy_requires_logon = requires_logon_->isChecked();
    source.proxy_user = proxy_user_->text().toStdString();
    source.proxy_password = proxy_password_->text().toStdString();
    source.local_directory = local_directory_->text().toStdString();
    source.net_share_directory = share_directory_->text().toStdString();
    source.net_share_user_name = share_user_->text().toStdString();
    source.net_share_password = share_password_->text().toStdString();
    type = from_local_->isChecked() ? 2 : from_share_->isChecked() ? 1 : 0;
}

void CSettingsPage::ApplyEnablingRule() {
    const int32_t type = kind_ == Kind::kDat ? dat_.dat_source : engine_.downloader_type;
    const EnabledControls enabled = EnablingRule(type, use_proxy_->isChecked(), requires_logon_->isChecked());
    for (QWidget* widget : std::initializer_list<QWidget*>{url_, use_default_, use_proxy_}) widget->setEnabled(enabled.url);
    for (QWidget* widget : std::initializer_list<QWidget*>{proxy_server_, proxy_port_, requires_logon_}) {
        widget->setEnabled(enabled.proxy);
    }
    proxy_user_->setEnabled(enabled.proxy_credentials);
    proxy_password_->setEnabled(enabled.proxy_credentials);
    local_directory_->setEnabled(enabled.local_directory);
    browse_local_->setEnabled(enabled.local_directory);
    for (QWidget* widget : std::initializer_list<QWidget*>{share_directory_, browse_share_, share_user_, share_password_}) {
        widget->setEnabled(enabled.network_share);
    }
    UpdateLocalWarning();
}

void CSettingsPage::UpdateLocalWarning() {
    const std::string hidden =
        from_local_->isChecked() ? FolderHiddenFromService(local_directory_->text().toStdString()) : "";
    local_warning_->setText(QString::fromStdString(hidden));
    local_warning_->setVisible(!hidden.empty());
}

bool CSettingsPage::Apply() {
    if (load_failed_ || !modified_) return true;
    ReadControls();
    std::string error;
    if (kind_ == Kind::kDat) error = SourceUrlError(dat_.source.source_url);
    if (error.empty()) error = ProxyPortError(typed_port_);
    if (error.empty()) {
        RPCClient::SourceValues& source = kind_ == Kind::kDat ? dat_.source : engine_.source;
        source.proxy_port = static_cast<uint16_t>(typed_port_);
        if (frequency_ != nullptr) dat_.update_interval = frequency_->currentData().toLongLong();
        try {
            const bool applied = kind_ == Kind::kDat ? rpc_.SetDatSourceSettings(dat_) : rpc_.SetEngineUpdateSettings(engine_);
            if (!applied) error = rpc_.GetLastErrorText();
        } catch (const RPCClient::CRPCException& e) {
            error = e.Message();
        }
    }
    if (!error.empty()) {
        last_error_ = QString::fromStdString(error).trimmed();
        QMessageBox::warning(this, window()->windowTitle(), last_error_);
        return false;
    }
    last_error_.clear();
    modified_ = false;
    return true;
}

void CSettingsPage::BrowseLocal() {
    const QString folder = QFileDialog::getExistingDirectory(this, tr("Select a folder"), local_directory_->text());
    if (folder.isEmpty()) return;
    local_directory_->setText(folder);
    MarkModified();
    ReadControls();
    ApplyEnablingRule();
}

void CSettingsPage::BrowseShare() {
    const QString folder = QFileDialog::getExistingDirectory(this, tr("Select a Network Share"));
    if (folder.isEmpty()) return;
    QFile mountinfo("/proc/self/mountinfo");
    const std::string mounts = mountinfo.open(QIODevice::ReadOnly) ? mountinfo.readAll().toStdString() : "";
    const std::optional<std::string> share = ShareNameForFolder(folder.toStdString(), mounts);
    if (!share) {
        QMessageBox::warning(this, tr("Error"), tr("You did not select a Network Share."));
        return;
    }
    share_directory_->setText(QString::fromStdString(*share));
    MarkModified();
    ReadControls();
    ApplyEnablingRule();
}

}  // namespace TesselSoftware::VexorConfig
