// CRPCBinding: the control client's binding to the service's endpoint, and
// the per-thread error records of its calls.
//
// Composing the binding text and creating the binding never throw: a
// failure leaves the binding null with the reason as the thread's last
// error, and the first call then throws "RPC binding is null".
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Common/Rpc/RPCHelpers.h"
#include "Common/Rpc/RpcClient.h"
#include "client/ThreadStorage.h"

namespace TesselSoftware::RPCClient {

// What each thread keeps of its calls.
struct CThreadVariables {
    std::string last_error;
    RpcString error;  // the pError the service last returned to this thread
};

class CRPCBinding {
public:
    CRPCBinding() = default;
    virtual ~CRPCBinding();
    CRPCBinding(const CRPCBinding&) = delete;
    CRPCBinding& operator=(const CRPCBinding&) = delete;

    // Composes "ncalrpc:[endpoint]" and binds to it; false with the thread's
    // last error set when either step fails.
    bool CreateBinding(const std::string& endpoint);

    // How long a call may wait for its answer once connected (default
    // 60 s); applies to the binding created next.
    void SetCallTimeout(int milliseconds) { call_timeout_ms_ = milliseconds; }

    // The binding, or nullptr when none was created.
    RpcClientConnection* Binding() const { return binding_.get(); }
    const std::string& StringBinding() const { return string_binding_; }
    uint32_t LastStatus() const { return last_status_; }
    // The calling thread's last error text.
    std::string GetLastErrorText();

protected:
    CThreadVariables& ThreadVariables() { return threads_.Current(); }
    void SetLastErrorText(std::string text) { ThreadVariables().last_error = std::move(text); }

private:
    std::unique_ptr<RpcClientConnection> binding_;
    int call_timeout_ms_ = 60000;
    uint32_t last_status_ = 0;
    std::string string_binding_;
    CThreadStorage<CThreadVariables> threads_;
};

}  // namespace TesselSoftware::RPCClient
