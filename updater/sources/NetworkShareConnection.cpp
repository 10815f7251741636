#include "sources/NetworkShareConnection.h"

#include "Common/Errors/ErrorText.h"
#include "Common/Errors/ExceptionBase.h"
#include "Common/Errors/Win32Error.h"
#include "core/UpdateProgress.h"

namespace TesselSoftware {

namespace {

constexpr size_t kMaxRootLength = 259;  // the platform's path limit, terminator aside

std::string g_mountinfo = "/proc/self/mountinfo";

std::string Backslashed(std::string path) {
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

}  // namespace

std::string ShareConnectionErrorText(uint32_t code) {
    switch (code) {
        case Win32::kAccessDenied: return "Access to the network resource was denied.";
        case Win32::kBadDevType:
        case Win32::kDeviceAlreadyRemembered:
        case Win32::kBadProvider:
        case Win32::kCannotOpenProfile:
        case Win32::kBadProfile:
        case Win32::kExtendedError: return "Error connecting to network share.";
        case Win32::kBadNetName:
        case Win32::kBadDevice:
        case Win32::kNoNetOrBadPath: return "Unknown or invalid network share name.";
        case Win32::kAlreadyAssigned: return "Already connected to this network share.";
        case Win32::kInvalidPassword: return "The specified password is invalid.";
        case Win32::kBusy:
            return "The router or provider is busy, possibly initializing. The caller should retry.";
        case Win32::kNoNetwork: return "The network is unavailable.";
        case Win32::kCancelled:
            return "The attempt to make the connection was cancelled by the user through a dialog box "
                   "from one of the network resource providers, or by a called resource.";
        default: return FormatErrorText(code, kErrorTextAuto);
    }
}

std::string ShareDisconnectionErrorText(uint32_t code) {
    switch (code) {
        case Win32::kNotConnected: return "The network share was not connected.";
        case Win32::kOpenFiles: return "Cannot disconnect because there are open files.";
        case Win32::kDeviceInUse:
            return "The device is in use by an active process and cannot be disconnected.";
        default: return "Error disconnecting from network share.\r\n";
    }
}

void NetworkShareConnection::SetMountInfoForTesting(const std::string& path) { g_mountinfo = path; }

std::string NetworkShareConnection::ShareRoot(const std::string& base_location) {
    const std::string copy = Backslashed(base_location);
    if (!copy.starts_with("\\\\")) {
        throw CTLVexorNetException(0, "Error connecting to network share - \"" + base_location +
                                          "\". Name must start with \"\\\\\".\r\n");
    }
    std::string root = copy;
    if (copy.size() > 2) {
        const size_t server_end = copy.find('\\', 2);
        if (server_end != std::string::npos && server_end + 1 < copy.size()) {
            const size_t share_end = copy.find('\\', server_end + 1);
            if (share_end != std::string::npos) root = copy.substr(0, share_end);
        }
    }
    if (root.size() > kMaxRootLength) {
        throw CTLVexorNetException(0, "Error connecting to network share - \"" + base_location +
                                          "\". Name is longer than 259 characters.\r\n");
    }
    return root;
}

NetworkShareConnection::NetworkShareConnection(const std::string& base_location, const std::string& user,
                                               const std::string& password, IUpdateProgress* progress)
    : root_(ShareRoot(base_location)), progress_(progress) {
    mount_point_ = FindShareMount(root_, g_mountinfo);
    if (mounted()) return;  // someone else's connection: used as it is
    uint32_t error = 0;
    connection_ = ShareConnection::Connect(root_, user, password, &error);
    if (!connection_) {
        throw CTLVexorNetException(0, "Error connecting to network share - " +
                                          ShareConnectionErrorText(error) + "\r\n");
    }
}

NetworkShareConnection::~NetworkShareConnection() {
    if (!connection_) return;
    const uint32_t error = connection_->Disconnect();
    if (error != 0 && progress_ != nullptr) {
        try {
            progress_->AddMessageText("Error disconnecting from network share - " +
                                      ShareDisconnectionErrorText(error));
        } catch (...) {
            // A destructor reports, it never throws.
        }
    }
}

std::string NetworkShareConnection::PathBelowRoot(const std::string& path) const {
    const std::string copy = Backslashed(path);
    return copy.size() >= root_.size() ? copy.substr(root_.size()) : std::string();
}

std::string NetworkShareConnection::LocalPath(const std::string& path) const {
    std::string local = mount_point_;
    for (const char c : PathBelowRoot(path)) local += c == '\\' ? '/' : c;
    return local;
}

}  // namespace TesselSoftware
