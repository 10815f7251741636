#include "core/SourceSettings.h"

#include "Common/Errors/ExceptionBase.h"

namespace TesselSoftware {

namespace {

void CheckPasswordLength(const std::string& value) {
    if (value.size() > kMaxPasswordLength) {
        throw ExceptionBase(0, "The password is too long: at most " +
                                   std::to_string(kMaxPasswordLength) + " characters are allowed");
    }
}

}  // namespace

SourceSettings::SourceSettings(std::string address) : address_(std::move(address)) {}

#define VEXOR_LOCKED_FIELD(Type, Getter, Setter, field) \
    Type SourceSettings::Getter() const {               \
        LockGuard guard(lock_);                         \
        return field;                                   \
    }                                                   \
    void SourceSettings::Setter(const Type& value) {    \
        LockGuard guard(lock_);                         \
        field = value;                                  \
    }

#define VEXOR_LOCKED_SCALAR(Type, Getter, Setter, field) \
    Type SourceSettings::Getter() const {                \
        LockGuard guard(lock_);                          \
        return field;                                    \
    }                                                    \
    void SourceSettings::Setter(Type value) {            \
        LockGuard guard(lock_);                          \
        field = value;                                   \
    }

#define VEXOR_LOCKED_PASSWORD(Getter, Setter, field)          \
    std::string SourceSettings::Getter() const {              \
        LockGuard guard(lock_);                               \
        return field;                                         \
    }                                                         \
    void SourceSettings::Setter(const std::string& value) {   \
        CheckPasswordLength(value);                           \
        LockGuard guard(lock_);                               \
        field = value;                                        \
    }

VEXOR_LOCKED_FIELD(std::string, Address, SetAddress, address_)
VEXOR_LOCKED_SCALAR(int32_t, Port, SetPort, port_)
VEXOR_LOCKED_FIELD(std::string, UserName, SetUserName, user_name_)
VEXOR_LOCKED_PASSWORD(Password, SetPassword, password_)
VEXOR_LOCKED_SCALAR(bool, UseProxy, SetUseProxy, use_proxy_)
VEXOR_LOCKED_FIELD(std::string, ProxyName, SetProxyName, proxy_name_)
VEXOR_LOCKED_SCALAR(int32_t, ProxyPort, SetProxyPort, proxy_port_)
VEXOR_LOCKED_SCALAR(bool, ProxyRequiresLogon, SetProxyRequiresLogon, proxy_requires_logon_)
VEXOR_LOCKED_FIELD(std::string, ProxyUserName, SetProxyUserName, proxy_user_name_)
VEXOR_LOCKED_PASSWORD(ProxyPassword, SetProxyPassword, proxy_password_)
VEXOR_LOCKED_FIELD(std::string, LocalDirectory, SetLocalDirectory, local_directory_)
VEXOR_LOCKED_FIELD(std::string, ShareDirectory, SetShareDirectory, share_directory_)
VEXOR_LOCKED_FIELD(std::string, ShareUserName, SetShareUserName, share_user_name_)
VEXOR_LOCKED_PASSWORD(SharePassword, SetSharePassword, share_password_)

#undef VEXOR_LOCKED_FIELD
#undef VEXOR_LOCKED_SCALAR
#undef VEXOR_LOCKED_PASSWORD

}  // namespace TesselSoftware
