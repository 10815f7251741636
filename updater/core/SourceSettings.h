// SourceSettings: the connection settings of one update source (the DAT
// source or the engine update source), and the SourceType codes.
//
// Every getter and setter takes the object's own recursive lock; getters
// return copies. Safe for concurrent use.
#pragma once

#include <cstdint>
#include <string>

#include "Common/RecursiveLock.h"

namespace TesselSoftware {

// Where updates come from. Values outside the three are stored and loaded
// as they are; the downloader factory refuses them.
enum SourceType : int32_t {
    Internet = 0,      // HTTP, HTTPS or FTP
    NetworkShare = 1,  // \\server\share
    LocalFolder = 2,   // a local directory
};

// Longest password the store can keep, in bytes of UTF-8.
inline constexpr size_t kMaxPasswordLength = 126;

class SourceSettings {
public:
    // Defaults of an empty store, for a source whose default site is address.
    explicit SourceSettings(std::string address);

    std::string Address() const;
    void SetAddress(const std::string& value);
    int32_t Port() const;
    void SetPort(int32_t value);
    std::string UserName() const;
    void SetUserName(const std::string& value);
    std::string Password() const;
    // Passwords longer than kMaxPasswordLength throw ExceptionBase.
    void SetPassword(const std::string& value);
    bool UseProxy() const;
    void SetUseProxy(bool value);
    std::string ProxyName() const;
    void SetProxyName(const std::string& value);
    int32_t ProxyPort() const;
    void SetProxyPort(int32_t value);
    bool ProxyRequiresLogon() const;
    void SetProxyRequiresLogon(bool value);
    std::string ProxyUserName() const;
    void SetProxyUserName(const std::string& value);
    std::string ProxyPassword() const;
    void SetProxyPassword(const std::string& value);
    std::string LocalDirectory() const;
    void SetLocalDirectory(const std::string& value);
    std::string ShareDirectory() const;
    void SetShareDirectory(const std::string& value);
    std::string ShareUserName() const;
    void SetShareUserName(const std::string& value);
    std::string SharePassword() const;
    void SetSharePassword(const std::string& value);

private:
    RecursiveLock lock_;
    std::string address_;
    int32_t port_ = 21;
    std::string user_name_;
    std::string password_;
    bool use_proxy_ = false;
    std::string proxy_name_;
    int32_t proxy_port_ = 8080;
    bool proxy_requires_logon_ = false;
    std::string proxy_user_name_;
    std::string proxy_password_;
    std::string local_directory_;
    std::string share_directory_;
    std::string share_user_name_;
    std::string share_password_;
};

}  // namespace TesselSoftware
