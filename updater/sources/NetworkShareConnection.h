// NetworkShareConnection: the share of a UNC base location, connected for
// one Download or ListFiles and dropped again on every way out. A share the
// machine has already mounted is used as a local folder and left alone.
//
//   NetworkShareConnection share("\\\\files\\updates\\dat", user, password, progress);
//   if (share.mounted()) ... share.LocalPath(path) ...
//   else share.connection().CopyFile(share.PathBelowRoot(path), ...);
#pragma once

#include <memory>
#include <string>

#include "Common/Platform/ShareConnection.h"

namespace TesselSoftware {

class IUpdateProgress;

class NetworkShareConnection {
public:
    // Derives the root (\\server\share) of base_location and connects to it
    // unless it is mounted. Throws CTLVexorNetException "Error connecting to
    // network share - ..." when the base is no UNC path or the share
    // refuses the connection. progress (may be nullptr) receives a failed
    // disconnection.
    NetworkShareConnection(const std::string& base_location, const std::string& user,
                           const std::string& password, IUpdateProgress* progress);
    ~NetworkShareConnection();
    NetworkShareConnection(const NetworkShareConnection&) = delete;
    NetworkShareConnection& operator=(const NetworkShareConnection&) = delete;

    // The \\server\share (or \\server) part of a base location, "/" read as
    // "\"; throws as the constructor does for a base that is no UNC path.
    static std::string ShareRoot(const std::string& base_location);

    bool mounted() const { return !mount_point_.empty(); }
    const std::string& root() const { return root_; }
    // path (below the root) in the mounted folder. REQUIRES: mounted().
    std::string LocalPath(const std::string& path) const;
    // path with the root cut off, "\"-separated.
    std::string PathBelowRoot(const std::string& path) const;
    // REQUIRES: !mounted().
    ShareConnection& connection() { return *connection_; }

    // Where mounts are read from; tests point it at a file of their own.
    static void SetMountInfoForTesting(const std::string& path);

private:
    const std::string root_;
    std::string mount_point_;
    std::unique_ptr<ShareConnection> connection_;
    IUpdateProgress* const progress_;
};

// The texts for a connection's and a disconnection's Win32 numbers.
std::string ShareConnectionErrorText(uint32_t code);
std::string ShareDisconnectionErrorText(uint32_t code);

}  // namespace TesselSoftware
