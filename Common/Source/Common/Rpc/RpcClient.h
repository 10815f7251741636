// RpcClientConnection: the caller's end of the local RPC runtime. It
// connects to an endpoint's socket, binds to one interface and carries
// calls, each a request and its response, over one kept connection.
//
//   RpcClientConnection connection(RpcEndpointPath("VexorfTUpdater_RPC64"), syntax);
//   std::vector<uint8_t> reply = connection.Call(3, request_stub);  // throws RpcCallException
//
// Transport failures are RpcCallException with the platform error number:
// 1722 the server cannot be reached, 5 access denied, 1717 the interface or
// its version is not served, 1726 the call failed after the request was
// sent; a fault carries the server's number (1745, 1783, ...). A request is
// never sent twice. Calls on one object are serialised; safe for concurrent
// use.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "Common/Errors/ExceptionBase.h"
#include "Common/Rpc/RpcPdu.h"

namespace TesselSoftware {

class RpcFrameChannel;

// The socket path of an endpoint in the runtime directory.
std::string RpcEndpointPath(const std::string& endpoint);

class RpcCallException : public ExceptionBase {
public:
    using ExceptionBase::ExceptionBase;
};

class RpcClientConnection {
public:
    RpcClientConnection(std::string socket_path, SyntaxId interface_syntax);
    ~RpcClientConnection();
    RpcClientConnection(const RpcClientConnection&) = delete;
    RpcClientConnection& operator=(const RpcClientConnection&) = delete;

    // Sends the request stub of opnum and returns the response stub.
    std::vector<uint8_t> Call(uint16_t opnum, std::span<const uint8_t> stub);
    // Drops the connection; the next call connects again.
    void Disconnect();

    // How long a call may wait for its answer (default 60 s).
    void SetCallTimeout(int milliseconds);
    // Largest fragment this end sends and accepts (default 5840).
    void SetMaxFragment(uint16_t bytes);
    const std::string& SocketPath() const { return socket_path_; }

private:
    // REQUIRES: mutex_ held. Connects and binds; throws RpcCallException.
    void Connect();
    std::vector<uint8_t> ReadResponse(uint32_t call_id);

    const std::string socket_path_;
    const SyntaxId syntax_;
    std::mutex mutex_;
    std::unique_ptr<RpcFrameChannel> channel_;  // GUARDED_BY(mutex_)
    uint16_t max_fragment_ = kDefaultMaxFragment;
    uint16_t max_send_ = kDefaultMaxFragment;   // GUARDED_BY(mutex_)
    uint32_t next_call_id_ = 1;                 // GUARDED_BY(mutex_)
    int call_timeout_ms_ = 60000;
};

}  // namespace TesselSoftware
