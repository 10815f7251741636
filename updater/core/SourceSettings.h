// SourceSettings: the connection settings of one update source (the DAT
// source or the engine update source), and the SourceType codes.
//
// The object remembers which fields were set to a new value since the last
// ClearChanged, so a save writes only what this process changed and never
// puts back a stale copy of what another process wrote.
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

// The fields, as bits of a change mask.
enum SourceField : uint32_t {
    kSourceAddress = 1u << 0,
    kSourcePort = 1u << 1,
    kSourceUserName = 1u << 2,
    kSourcePassword = 1u << 3,
    kSourceUseProxy = 1u << 4,
    kSourceProxyName = 1u << 5,
    kSourceProxyPort = 1u << 6,
    kSourceProxyRequiresLogon = 1u << 7,
    kSourceProxyUserName = 1u << 8,
    kSourceProxyPassword = 1u << 9,
    kSourceLocalDirectory = 1u << 10,
    kSourceShareDirectory = 1u << 11,
    kSourceShareUserName = 1u << 12,
    kSourceSharePassword = 1u << 13,
};

// A plain copy of every field.
struct SourceValues {
    std::string address;
    int32_t port = 21;
    std::string user_name;
    std::string password;
    bool use_proxy = false;
    std::string proxy_name;
    int32_t proxy_port = 8080;
    bool proxy_requires_logon = false;
    std::string proxy_user_name;
    std::string proxy_password;
    std::string local_directory;
    std::string share_directory;
    std::string share_user_name;
    std::string share_password;
};

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

    // Every field and the mask of the changed ones, read together.
    SourceValues Values(uint32_t* changed = nullptr) const;
    uint32_t Changed() const;
    // Forgets the changes of mask (written, or replaced by a fresh read).
    void ClearChanged(uint32_t mask);
    // Marks mask changed again (a save that did not write them).
    void MarkChanged(uint32_t mask);
    // Takes the fields of fresh this object has not changed, without
    // marking them changed.
    void TakeUnchanged(const SourceValues& fresh);

private:
    RecursiveLock lock_;
    SourceValues values_;   // GUARDED_BY(lock_)
    uint32_t changed_ = 0;  // GUARDED_BY(lock_): SourceField bits
};

}  // namespace TesselSoftware
