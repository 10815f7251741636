#include "Common/Rpc/RpcClient.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "Common/Errors/Win32Error.h"
#include "Common/Platform/MachineLayout.h"
#include "Common/Rpc/RpcFrameChannel.h"

namespace TesselSoftware {

namespace {

constexpr size_t kMaxResponseStubBytes = 4 << 20;

[[noreturn]] void Fail(uint32_t code, const std::string& what) {
    throw RpcCallException(static_cast<int32_t>(code), what);
}

uint32_t ConnectError(int error_number) {
    return (error_number == EACCES || error_number == EPERM) ? Win32::kAccessDenied
                                                             : Win32::kServerUnavailable;
}

}  // namespace

std::string RpcEndpointPath(const std::string& endpoint) {
    return MachineLayout::RuntimeDirectory() + "/" + endpoint;
}

RpcClientConnection::RpcClientConnection(std::string socket_path, SyntaxId interface_syntax)
    : socket_path_(std::move(socket_path)), syntax_(interface_syntax) {}

RpcClientConnection::~RpcClientConnection() = default;

void RpcClientConnection::SetCallTimeout(int milliseconds) { call_timeout_ms_ = milliseconds; }
void RpcClientConnection::SetMaxFragment(uint16_t bytes) { max_fragment_ = std::max(bytes, kMinFragment); }

void RpcClientConnection::Disconnect() {
    std::lock_guard<std::mutex> lock(mutex_);
    channel_.reset();
}

void RpcClientConnection::Connect() {
    sockaddr_un address{};
    if (socket_path_.size() >= sizeof(address.sun_path)) Fail(Win32::kServerUnavailable, "endpoint path too long");
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socket_path_.c_str(), socket_path_.size() + 1);
    // Non-blocking while connecting: a server whose queue is full answers
    // EAGAIN instead of holding the caller without limit.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) Fail(ErrnoToWin32(errno), "socket");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(call_timeout_ms_);
    int rc;
    for (;;) {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
        if (rc == 0 || (errno != EINTR && errno != EAGAIN)) break;
        if (errno == EAGAIN) {
            if (std::chrono::steady_clock::now() > deadline) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (rc == 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (rc != 0) {
        const int error_number = errno;
        ::close(fd);
        Fail(ConnectError(error_number), "connect: " + std::string(std::strerror(error_number)));
    }
    auto channel = std::make_unique<RpcFrameChannel>(fd, -1);
    BindPdu bind;
    bind.max_xmit_frag = max_fragment_;
    bind.max_recv_frag = max_fragment_;
    bind.contexts.push_back({0, syntax_, {NdrTransferSyntax()}});
    const uint32_t call_id = next_call_id_++;
    std::vector<uint8_t> frame;
    if (!channel->Write(BuildBind(PduType::kBind, call_id, bind), call_timeout_ms_) ||
        channel->ReadFrame(&frame, call_timeout_ms_, call_timeout_ms_) != FrameStatus::kOk) {
        Fail(Win32::kServerUnavailable, "bind not answered");
    }
    PduHeader header;
    BindAckPdu ack;
    uint32_t status = 0;
    ParsePduHeader(frame, kMaxFrameBytes, &header);
    if (header.type == PduType::kBindNak) Fail(Win32::kUnknownInterface, "bind refused");
    if (header.type == PduType::kFault && ParseFault(frame, &status)) Fail(FaultStatusToError(status), "bind fault");
    if (!ParseBindAck(frame, &ack) || header.call_id != call_id || ack.results.empty()) {
        Fail(Win32::kRpcProtocolError, "malformed bind answer");
    }
    if (ack.results[0].result != 0) Fail(Win32::kUnknownInterface, "interface refused");
    max_send_ = std::clamp(ack.max_recv_frag, kMinFragment, max_fragment_);
    channel_ = std::move(channel);
}

std::vector<uint8_t> RpcClientConnection::ReadResponse(uint32_t call_id) {
    std::vector<uint8_t> stub;
    std::vector<uint8_t> frame;
    bool begun = false;
    for (;;) {
        if (channel_->ReadFrame(&frame, call_timeout_ms_, call_timeout_ms_) != FrameStatus::kOk) {
            Fail(Win32::kCallFailed, "no answer");
        }
        PduHeader header;
        ParsePduHeader(frame, kMaxFrameBytes, &header);
        uint32_t status = 0;
        if (header.call_id != call_id) Fail(Win32::kCallFailed, "answer to another call");
        if (header.type == PduType::kFault) {
            if (!ParseFault(frame, &status)) Fail(Win32::kCallFailed, "malformed fault");
            Fail(FaultStatusToError(status), "fault");
        }
        ResponsePdu response;
        if (!ParseResponse(frame, &response) || ((header.flags & kPfcFirstFrag) != 0) == begun ||
            stub.size() + response.stub.size() > kMaxResponseStubBytes) {
            Fail(Win32::kCallFailed, "malformed answer");
        }
        begun = true;
        stub.insert(stub.end(), response.stub.begin(), response.stub.end());
        if (header.flags & kPfcLastFrag) return stub;
    }
}

std::vector<uint8_t> RpcClientConnection::Call(uint16_t opnum, std::span<const uint8_t> stub) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (channel_ && channel_->PeerClosed()) channel_.reset();
    if (!channel_) Connect();
    const uint32_t call_id = next_call_id_++;
    try {
        for (const auto& fragment : BuildRequestFragments(call_id, 0, opnum, stub, max_send_)) {
            if (!channel_->Write(fragment, call_timeout_ms_)) Fail(Win32::kCallFailed, "request not sent");
        }
        return ReadResponse(call_id);
    } catch (const RpcCallException& e) {
        // After a failure the connection's state is unknown; a fault leaves
        // it in step, anything else does not.
        if (e.Code() == static_cast<int32_t>(Win32::kCallFailed)) channel_.reset();
        throw;
    }
}

}  // namespace TesselSoftware
