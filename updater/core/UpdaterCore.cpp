#include "core/UpdaterCore.h"

#include <atomic>
#include <cstdio>
#include <ctime>

#include "Common/Clock.h"
#include "Common/Platform/MachineLayout.h"
#include "sources/TrustedKeys.h"

namespace TesselSoftware {

UpdaterCore::UpdaterCore(ILogging& log) : log_(log) {
    SetCurrentUpdateProgress(this);
}

UpdaterCore::~UpdaterCore() {
    ClearCurrentUpdateProgress(this);
}

void UpdaterCore::AddMessageText(const std::string& text) {
    std::function<void(const std::string&)> observer;
    {
        std::lock_guard lock(state_lock_);
        log_.Log(kLogTrace, "%s\r\n", text.c_str());
        const int64_t now = ServiceClock().Now();
        observer = observer_;
        if (!history_.empty() && history_.back().text == text) {
            history_.back().time = now;  // a repeated message only moves its time
        } else {
            history_.push_back({now, text});
            if (history_.size() > kMaxMessages) {
                history_.erase(history_.begin(), history_.end() - kMaxMessages);
            }
        }
    }
    if (observer) observer(text);
}

void UpdaterCore::SetMessageObserver(std::function<void(const std::string&)> observer) {
    std::lock_guard lock(state_lock_);
    observer_ = std::move(observer);
}

bool UpdaterCore::IsCancelled() const {
    if (stopping_) return true;
    std::lock_guard lock(state_lock_);
    return cancelled_;
}

void UpdaterCore::SetCurrentStatusText(const std::string& text) {
    std::lock_guard lock(state_lock_);
    current_status_text_ = text;
}

std::string UpdaterCore::GetCurrentStatusText() const {
    std::lock_guard lock(state_lock_);
    return current_status_text_;
}

void UpdaterCore::ReportProgress(int code, const std::string& text, int /*number*/) {
    // The registry status is written outside the state lock: it takes the
    // settings lock, which is never taken while the state lock is held.
    switch (code) {
        case kProgressCheckFinished:
            SetUpdateStatus("Check finished.\r\n", 20, 1);
            SetCurrentStatusText("Check finished.");
            AddMessage("Check finished.");
            break;
        case kProgressUnzipping:
            SetCurrentStatusText("Unzipping DAT files.");
            SetUpdateStatus("Unzipping DAT files.", 20, 1);
            AddMessage("Unzipping DAT files.");
            break;
        case kProgressText:
            SetCurrentStatusText(text);
            SetUpdateStatus(text, 20, 1);
            AddMessageText(text);
            break;
        case kProgressUpToDate:
            AddMessage("Definition files are up to date.");
            break;
        case kProgressRetrievingMain:
            SetCurrentStatusText("Retrieving main definition files from source.");
            SetUpdateStatus("Retrieving main definition files from source.", 20, 1);
            AddMessage("Retrieving main definition files from source..");
            break;
        default:
            break;
    }
}

void UpdaterCore::ReportSignatureState() {
    const TrustedKeys trusted = LoadTrustedKeys();
    if (!trusted.folder_problem.empty()) {
        Events().ReportError("Updates cannot be signature-checked: %s; every pass fails until it is a folder of "
                             "trusted keys again.\r\n",
                             trusted.folder_problem.c_str());
        return;
    }
    if (trusted.key_files != 0) return;
    Events().ReportWarning("Updates are not signature-checked: no trusted key in %s; only the MD5 sums the "
                           "update source itself publishes are checked.\r\n",
                           MachineLayout::TrustedKeysDirectory().c_str());
}

bool UpdaterCore::UseTrustedKeys(std::string* failure) {
    const TrustedKeys trusted = LoadTrustedKeys();
    if (!trusted.folder_problem.empty()) {
        SetRequiredSigners(nullptr);
        *failure = "The trusted-keys folder cannot be used: " + trusted.folder_problem + ", so no update can be checked";
        return false;
    }
    for (const std::string& problem : trusted.problems) AddMessageText("Trusted key file ignored - " + problem);
    if (trusted.key_files == 0) {
        SetRequiredSigners(nullptr);
        return true;
    }
    if (trusted.keys.empty()) {
        SetRequiredSigners(nullptr);
        *failure = "None of the trusted key files in " + MachineLayout::TrustedKeysDirectory() +
                   " can be used, so no update can be checked";
        return false;
    }
    SetRequiredSigners(std::make_shared<const TrustedKeyList>(trusted.keys));
    return true;
}

void UpdaterCore::TriggerUpdate() {
    log_.Log(kLogTrace, "A DAT update has been triggered from the configuration tool.\r\n");
    trigger_event_.Set();
}

void UpdaterCore::CancelUpdate() {
    log_.Log(kLogTrace, "A DAT update has been cancelled from the configuration tool.\r\n");
    std::lock_guard lock(state_lock_);
    cancelled_ = true;
}

bool UpdaterCore::IsUpdating() const {
    std::lock_guard lock(state_lock_);
    return updating_;
}

std::vector<MessageEntry> UpdaterCore::GetMessageHistory() const {
    std::lock_guard lock(state_lock_);
    return history_;
}

void UpdaterCore::SetUpdating(bool updating) {
    std::lock_guard lock(state_lock_);
    updating_ = updating;
}

void UpdaterCore::ClearCancel() {
    std::lock_guard lock(state_lock_);
    cancelled_ = false;
}

}  // namespace TesselSoftware
