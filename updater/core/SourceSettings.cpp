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

// Each field with its bit, for the whole-record operations.
template <typename Fn>
void ForEachField(SourceValues& to, const SourceValues& from, Fn fn) {
    fn(kSourceAddress, to.address, from.address);
    fn(kSourcePort, to.port, from.port);
    fn(kSourceUserName, to.user_name, from.user_name);
    fn(kSourcePassword, to.password, from.password);
    fn(kSourceUseProxy, to.use_proxy, from.use_proxy);
    fn(kSourceProxyName, to.proxy_name, from.proxy_name);
    fn(kSourceProxyPort, to.proxy_port, from.proxy_port);
    fn(kSourceProxyRequiresLogon, to.proxy_requires_logon, from.proxy_requires_logon);
    fn(kSourceProxyUserName, to.proxy_user_name, from.proxy_user_name);
    fn(kSourceProxyPassword, to.proxy_password, from.proxy_password);
    fn(kSourceLocalDirectory, to.local_directory, from.local_directory);
    fn(kSourceShareDirectory, to.share_directory, from.share_directory);
    fn(kSourceShareUserName, to.share_user_name, from.share_user_name);
    fn(kSourceSharePassword, to.share_password, from.share_password);
}

}  // namespace

SourceSettings::SourceSettings(std::string address) { values_.address = std::move(address); }

// A setter marks its field changed only when the value differs: writing
// back an unchanged value could undo what another process wrote meanwhile.
#define VEXOR_LOCKED_FIELD(Type, Getter, Setter, field, bit) \
    Type SourceSettings::Getter() const {                   \
        LockGuard guard(lock_);                             \
        return values_.field;                               \
    }                                                       \
    void SourceSettings::Setter(const Type& value) {        \
        LockGuard guard(lock_);                             \
        if (values_.field == value) return;                 \
        values_.field = value;                              \
        changed_ |= bit;                                    \
    }

#define VEXOR_LOCKED_SCALAR(Type, Getter, Setter, field, bit) \
    Type SourceSettings::Getter() const {                    \
        LockGuard guard(lock_);                              \
        return values_.field;                                \
    }                                                        \
    void SourceSettings::Setter(Type value) {                \
        LockGuard guard(lock_);                              \
        if (values_.field == value) return;                  \
        values_.field = value;                               \
        changed_ |= bit;                                     \
    }

#define VEXOR_LOCKED_PASSWORD(Getter, Setter, field, bit)      \
    std::string SourceSettings::Getter() const {              \
        LockGuard guard(lock_);                               \
        return values_.field;                                 \
    }                                                         \
    void SourceSettings::Setter(const std::string& value) {   \
        CheckPasswordLength(value);                           \
        LockGuard guard(lock_);                               \
        if (values_.field == value) return;                   \
        values_.field = value;                                \
        changed_ |= bit;                                      \
    }

VEXOR_LOCKED_FIELD(std::string, Address, SetAddress, address, kSourceAddress)
VEXOR_LOCKED_SCALAR(int32_t, Port, SetPort, port, kSourcePort)
VEXOR_LOCKED_FIELD(std::string, UserName, SetUserName, user_name, kSourceUserName)
VEXOR_LOCKED_PASSWORD(Password, SetPassword, password, kSourcePassword)
VEXOR_LOCKED_SCALAR(bool, UseProxy, SetUseProxy, use_proxy, kSourceUseProxy)
VEXOR_LOCKED_FIELD(std::string, ProxyName, SetProxyName, proxy_name, kSourceProxyName)
VEXOR_LOCKED_SCALAR(int32_t, ProxyPort, SetProxyPort, proxy_port, kSourceProxyPort)
VEXOR_LOCKED_SCALAR(bool, ProxyRequiresLogon, SetProxyRequiresLogon, proxy_requires_logon,
                    kSourceProxyRequiresLogon)
VEXOR_LOCKED_FIELD(std::string, ProxyUserName, SetProxyUserName, proxy_user_name, kSourceProxyUserName)
VEXOR_LOCKED_PASSWORD(ProxyPassword, SetProxyPassword, proxy_password, kSourceProxyPassword)
VEXOR_LOCKED_FIELD(std::string, LocalDirectory, SetLocalDirectory, local_directory, kSourceLocalDirectory)
VEXOR_LOCKED_FIELD(std::string, ShareDirectory, SetShareDirectory, share_directory, kSourceShareDirectory)
VEXOR_LOCKED_FIELD(std::string, ShareUserName, SetShareUserName, share_user_name, kSourceShareUserName)
VEXOR_LOCKED_PASSWORD(SharePassword, SetSharePassword, share_password, kSourceSharePassword)

#undef VEXOR_LOCKED_FIELD
#undef VEXOR_LOCKED_SCALAR
#undef VEXOR_LOCKED_PASSWORD

SourceValues SourceSettings::Values(uint32_t* changed) const {
    LockGuard guard(lock_);
    if (changed != nullptr) *changed = changed_;
    return values_;
}

uint32_t SourceSettings::Changed() const {
    LockGuard guard(lock_);
    return changed_;
}

void SourceSettings::ClearChanged(uint32_t mask) {
    LockGuard guard(lock_);
    changed_ &= ~mask;
}

void SourceSettings::MarkChanged(uint32_t mask) {
    LockGuard guard(lock_);
    changed_ |= mask;
}

void SourceSettings::TakeUnchanged(const SourceValues& fresh) {
    LockGuard guard(lock_);
    ForEachField(values_, fresh, [this](uint32_t bit, auto& to, const auto& from) {
        if (!(changed_ & bit)) to = from;
    });
}

}  // namespace TesselSoftware
