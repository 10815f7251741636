#include "Common/Rpc/RPCServer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "Common/Errors/ErrorText.h"
#include "Common/Errors/Win32Error.h"
#include "Common/Files/FileSystemUtils.h"
#include "Common/Platform/LockFile.h"
#include "Common/Platform/MachineLayout.h"
#include "Common/Platform/SystemGroups.h"
#include "Common/Rpc/RpcClient.h"
#include "Common/Rpc/RpcFrameChannel.h"

namespace TesselSoftware {

namespace {

// Largest stub one call may carry once its fragments are put together.
constexpr size_t kMaxCallStubBytes = 4 << 20;
// Longest computer name the binding text carries, terminator excluded.
constexpr size_t kComputerNameChars = 15;

// Lets members of group read and write the socket besides its owner and
// owning group (a POSIX access ACL); a file system without ACLs leaves the
// mode alone.
void GrantGroupAccess(const std::string& path, gid_t group) {
    struct Entry {
        uint16_t tag;
        uint16_t perm;
        uint32_t id;
    };
    struct {
        uint32_t version = 2;
        Entry entries[5];
    } acl{2, {{0x01, 6, 0xFFFFFFFF}, {0x04, 6, 0xFFFFFFFF}, {0x08, 6, group},
              {0x10, 6, 0xFFFFFFFF}, {0x20, 0, 0xFFFFFFFF}}};
    ::setxattr(path.c_str(), "system.posix_acl_access", &acl, sizeof(acl), 0);
}

std::string ComputerName() {
    char name[kComputerNameChars + 1] = {};
    if (::gethostname(name, sizeof(name)) != 0) name[0] = '\0';
    name[kComputerNameChars] = '\0';  // gethostname need not terminate a cut name
    return name;
}

bool Compatible(const SyntaxId& offered, const SyntaxId& served) {
    return offered.uuid == served.uuid && offered.major == served.major &&
           offered.minor <= served.minor;
}

}  // namespace

struct CRPCServer::Registration {
    RpcServerInterface definition;
    bool active = true;   // GUARDED_BY(server mutex)
    int running = 0;      // GUARDED_BY(server mutex)
};

struct CRPCServer::Connection {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
    RpcCaller caller;  // constant after accept
    RpcAccess access = RpcAccess::kNone;  // constant after accept
    uint16_t max_send = 0;  // 0 until bound
    std::map<uint16_t, std::shared_ptr<Registration>> contexts;
};

RpcAccessPolicy RpcAccessPolicy::ForThisMachine() {
    RpcAccessPolicy policy;
    policy.admin_uids = {0, ::geteuid()};
    policy.admin_gid = GroupId("vexor-admin");
    policy.reader_gid = GroupId("vexor");
    return policy;
}

RpcAccess AccessFor(const RpcAccessPolicy& policy, uid_t uid, gid_t gid,
                    const std::vector<gid_t>& groups) {
    const auto member = [&](const std::optional<gid_t>& wanted) {
        return wanted && (gid == *wanted || std::find(groups.begin(), groups.end(), *wanted) != groups.end());
    };
    if (std::find(policy.admin_uids.begin(), policy.admin_uids.end(), uid) != policy.admin_uids.end() ||
        member(policy.admin_gid)) {
        return RpcAccess::kAll;
    }
    return member(policy.reader_gid) ? RpcAccess::kRead : RpcAccess::kNone;
}

CRPCServer::CRPCServer(ILogging* logger)
    : logger_(logger), policy_(RpcAccessPolicy::ForThisMachine()),
      stop_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CRPCServer::~CRPCServer() {
    UnregisterAll();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    const uint64_t one = 1;
    if (::write(stop_fd_, &one, sizeof(one)) < 0) {
        // An eventfd write fails only on overflow, which one write cannot cause.
    }
    if (acceptor_.joinable()) acceptor_.join();
    std::list<Connection> connections;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connections.splice(connections.end(), connections_);
    }
    for (Connection& connection : connections) connection.thread.join();
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
        ::unlink(socket_path_.c_str());
    }
    ::close(stop_fd_);
}

void CRPCServer::SetAccessPolicy(RpcAccessPolicy policy) { policy_ = std::move(policy); }
void CRPCServer::SetEndpointRetryDelayForTesting(int milliseconds) { retry_delay_ms_ = milliseconds; }
void CRPCServer::SetTimeoutsForTesting(int idle_ms, int frame_ms) {
    idle_ms_ = idle_ms;
    frame_ms_ = frame_ms;
}

size_t CRPCServer::ConnectionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(connections_.begin(), connections_.end(),
                                             [](const Connection& c) { return !c.done; }));
}

bool CRPCServer::TryUseEndpoint(const std::string& endpoint) {
    const std::string path = RpcEndpointPath(endpoint);
    sockaddr_un address{};
    if (endpoint.empty() || endpoint.find('/') != std::string::npos || endpoint == "." ||
        endpoint == ".." || path.size() >= sizeof(address.sun_path)) {
        last_status_ = Win32::kInvalidEndpointFormat;
        return false;
    }
    if (listen_fd_ >= 0) {
        last_status_ = Win32::kDuplicateEndpoint;
        return false;
    }
    EnsureDirectory(MachineLayout::RuntimeDirectory(), true);
    // The lock tells a live server from a socket file a crashed one left.
    uint32_t error = 0;
    auto lock = ExclusiveLockFile::TryAcquireAt(path + ".lock", &error);
    if (!lock) {
        last_status_ = error == Win32::kBusy ? Win32::kDuplicateEndpoint : error;
        return false;
    }
    ::unlink(path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        last_status_ = ErrnoToWin32(errno);
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    // Nobody can connect before listen(), so the mode and owner are in place
    // before the first caller arrives.
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        ::chmod(path.c_str(), 0660) != 0 ||
        (policy_.admin_gid && ::chown(path.c_str(), static_cast<uid_t>(-1), *policy_.admin_gid) != 0 &&
         errno != EPERM) ||
        ::listen(fd, SOMAXCONN) != 0) {
        last_status_ = errno == EADDRINUSE ? Win32::kDuplicateEndpoint : ErrnoToWin32(errno);
        ::close(fd);
        ::unlink(path.c_str());
        return false;
    }
    if (policy_.reader_gid) GrantGroupAccess(path, *policy_.reader_gid);
    listen_fd_ = fd;
    endpoint_lock_ = std::move(lock);
    socket_path_ = path;
    last_status_ = 0;
    return true;
}

bool CRPCServer::UseEndpoint(const std::string& endpoint) {
    for (int attempt = 1;; ++attempt) {
        if (TryUseEndpoint(endpoint)) break;
        if (attempt == kEndpointAttempts) {
            if (logger_ != nullptr) {
                logger_->Log(kLogTrace, "RpcServerUseProtseqEp returned 0x%x - %s\n", last_status_,
                             FormatErrorText(last_status_, kErrorTextAuto).c_str());
            }
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(retry_delay_ms_));
    }
    bindings_.push_back("ncalrpc:" + ComputerName() + "[" + endpoint + "]");
    return true;
}

bool CRPCServer::RegisterInterface(const RpcServerInterface& definition) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool known = std::any_of(registrations_.begin(), registrations_.end(),
                                       [&](const auto& r) { return r->definition.syntax.uuid == definition.syntax.uuid; });
        if (known) {
            last_status_ = Win32::kTypeAlreadyRegistered;
        } else if (!definition.dispatch || definition.procedure_count == 0) {
            last_status_ = Win32::kInvalidParameter;
        } else {
            registrations_.push_back(std::make_shared<Registration>(Registration{definition}));
            last_status_ = 0;
            return true;
        }
    }
    if (logger_ != nullptr) {
        logger_->Log(kLogTrace, "RpcServerRegisterIf returned 0x%x - %s\n", last_status_,
                     FormatErrorText(last_status_, kErrorTextAuto).c_str());
    }
    return false;
}

bool CRPCServer::Listen() {
    if (listen_fd_ < 0) {
        last_status_ = Win32::kNoProtseqsRegistered;
    } else if (listening_) {
        last_status_ = Win32::kAlreadyListening;
    } else {
        listening_ = true;
        acceptor_ = std::thread([this] { AcceptLoop(); });
        last_status_ = 0;
        return true;
    }
    if (logger_ != nullptr) logger_->Log(kLogTrace, "RpcServerListen returned: 0x%x\n", last_status_);
    return false;
}

void CRPCServer::UnregisterAll() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (const auto& registration : registrations_) registration->active = false;
    changed_.wait(lock, [this] {
        return std::all_of(registrations_.begin(), registrations_.end(),
                           [](const auto& r) { return r->running == 0; });
    });
    registrations_.clear();
}

void CRPCServer::ReapFinished() {
    std::list<Connection> finished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            auto next = std::next(it);
            if (it->done) finished.splice(finished.end(), connections_, it);
            it = next;
        }
    }
    for (Connection& connection : finished) connection.thread.join();
}

namespace {

std::vector<gid_t> PeerGroups(int fd) {
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 2; ++attempt) {
        socklen_t size = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &size) == 0) {
            groups.resize(size / sizeof(gid_t));
            return groups;
        }
        if (errno != ERANGE) break;
        groups.resize(size / sizeof(gid_t) + 1);
    }
    return {};
}

}  // namespace

bool CRPCServer::HasSlotFor(RpcAccess access, uid_t uid) const {
    if (connections_.size() >= kMaxConcurrentCalls) return false;
    if (access == RpcAccess::kAll) return true;
    size_t limited = 0, own = 0;
    for (const Connection& c : connections_) {
        if (c.done || c.access == RpcAccess::kAll) continue;
        ++limited;
        if (c.caller.uid == uid) ++own;
    }
    return limited < kMaxConcurrentCalls - kReservedSlots && own < kMaxConnectionsPerAccount;
}

void CRPCServer::AcceptLoop() {
    for (;;) {
        ReapFinished();
        {
            // At the limit, new connections wait in the backlog.
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait_for(lock, std::chrono::milliseconds(100), [this] {
                return connections_.size() < kMaxConcurrentCalls;
            });
            if (stopping_) return;
            if (connections_.size() >= kMaxConcurrentCalls) continue;
        }
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
        // No time-out: a new caller or the stop descriptor wakes it, nothing else.
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (fds[1].revents & POLLIN) return;
        if (!(fds[0].revents & POLLIN)) continue;
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        // Who calls is settled here, before the caller's first byte is read.
        RpcCaller caller{0, static_cast<uid_t>(-1), static_cast<gid_t>(-1)};
        RpcAccess access = RpcAccess::kNone;
        ucred credentials{};
        socklen_t size = sizeof(credentials);
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0) {
            caller = {credentials.pid, credentials.uid, credentials.gid};
            access = AccessFor(policy_, credentials.uid, credentials.gid, PeerGroups(fd));
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (!HasSlotFor(access, caller.uid)) {
            // An account without full access that holds its share of the
            // connections gets no more; the administrators' slots stay free.
            ::close(fd);
            continue;
        }
        Connection& connection = connections_.emplace_back();
        connection.fd = fd;
        connection.caller = caller;
        connection.access = access;
        connection.thread = std::thread([this, &connection] { Serve(connection); });
    }
}

std::vector<uint8_t> CRPCServer::AnswerBind(Connection& connection, std::span<const uint8_t> frame,
                                            bool* keep_open) {
    PduHeader header;
    BindPdu bind;
    ParsePduHeader(frame, kMaxFrameBytes, &header);
    const bool first_bind = header.type == PduType::kBind;
    if (!ParseBind(frame, &bind) || bind.max_recv_frag < kMinFragment ||
        (first_bind && connection.max_send != 0) || (!first_bind && connection.max_send == 0)) {
        *keep_open = false;
        return BuildBindNak(header.call_id, 0);  // reason not specified
    }
    if (first_bind) connection.max_send = std::min<uint16_t>(bind.max_recv_frag, kDefaultMaxFragment);
    BindAckPdu ack;
    ack.max_xmit_frag = connection.max_send;
    ack.max_recv_frag = kDefaultMaxFragment;
    ack.assoc_group_id = bind.assoc_group_id != 0 ? bind.assoc_group_id : 0x0001F0E1;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const PresentationContext& context : bind.contexts) {
        const auto served = std::find_if(registrations_.begin(), registrations_.end(), [&](const auto& r) {
            return r->active && Compatible(context.abstract_syntax, r->definition.syntax);
        });
        const bool ndr = std::find(context.transfer_syntaxes.begin(), context.transfer_syntaxes.end(),
                                   NdrTransferSyntax()) != context.transfer_syntaxes.end();
        if (served == registrations_.end()) {
            ack.results.push_back({2, 1, SyntaxId{}});
        } else if (!ndr) {
            ack.results.push_back({2, 2, SyntaxId{}});
        } else {
            ack.results.push_back({0, 0, NdrTransferSyntax()});
            connection.contexts[context.context_id] = *served;
        }
    }
    *keep_open = true;
    return BuildBindAck(first_bind ? PduType::kBindAck : PduType::kAlterContextResp, header.call_id, ack);
}

std::vector<std::vector<uint8_t>> CRPCServer::RunCall(Connection& connection, uint32_t call_id,
                                                      uint16_t context_id, uint16_t opnum,
                                                      std::span<const uint8_t> stub) {
    const auto fault = [&](uint32_t error) {
        return std::vector<std::vector<uint8_t>>{BuildFault(call_id, context_id, ErrorToFaultStatus(error))};
    };
    // Who calls is settled before anything the caller sent is decoded.
    if (connection.access == RpcAccess::kNone) return fault(Win32::kAccessDenied);
    const auto context = connection.contexts.find(context_id);
    if (context == connection.contexts.end()) return fault(Win32::kUnknownInterface);
    Registration& registration = *context->second;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!registration.active) return fault(Win32::kUnknownInterface);
        if (opnum >= registration.definition.procedure_count) return fault(Win32::kProcNumOutOfRange);
        if (connection.access == RpcAccess::kRead &&
            (opnum >= 32 || !(registration.definition.read_only_opnums & (1u << opnum)))) {
            return fault(Win32::kAccessDenied);
        }
        ++registration.running;
    }
    NdrWriter out;
    uint32_t error = 0;
    try {
        NdrReader in(stub);
        registration.definition.dispatch(opnum, connection.caller, in, out);
    } catch (const RpcStubException& e) {
        error = static_cast<uint32_t>(e.Code());
    } catch (const RpcFault& e) {
        error = e.Code() != 0 ? static_cast<uint32_t>(e.Code()) : Win32::kCallFailed;
    } catch (...) {
        // Whatever a procedure throws ends that call alone.
        error = Win32::kCallFailed;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --registration.running;
    }
    changed_.notify_all();
    if (error != 0) return fault(error);
    return BuildResponseFragments(call_id, context_id, out.Bytes(), connection.max_send);
}

void CRPCServer::Serve(Connection& connection) {
    {
        RpcFrameChannel channel(connection.fd, stop_fd_);
        const bool full = connection.access == RpcAccess::kAll;
        const size_t max_frame = full ? kMaxFrameBytes : kLimitedFrameBytes;
        const size_t max_call = full ? kMaxCallStubBytes : kLimitedFrameBytes;
        std::vector<uint8_t> frame;
        std::vector<uint8_t> call_stub;
        bool in_call = false;
        RequestPdu first;
        for (bool open = true; open;) {
            if (channel.ReadFrame(&frame, in_call ? frame_ms_ : idle_ms_, frame_ms_, max_frame) !=
                FrameStatus::kOk) {
                break;
            }
            PduHeader header;
            ParsePduHeader(frame, kMaxFrameBytes, &header);
            switch (header.type) {
                case PduType::kBind:
                case PduType::kAlterContext: {
                    const std::vector<uint8_t> reply = AnswerBind(connection, frame, &open);
                    open = channel.Write(reply, frame_ms_) && open;
                    break;
                }
                case PduType::kRequest: {
                    if (connection.access == RpcAccess::kNone) {
                        // Refused from the header alone; nothing it sent is decoded.
                        channel.Write(BuildFault(header.call_id, 0, ErrorToFaultStatus(Win32::kAccessDenied)),
                                      frame_ms_);
                        open = false;
                        break;
                    }
                    RequestPdu request;
                    const bool valid = ParseRequest(frame, &request) && connection.max_send != 0;
                    const bool first_fragment = valid && (request.header.flags & kPfcFirstFrag);
                    if (!valid || (!first_fragment && (!in_call || request.header.call_id != first.header.call_id)) ||
                        call_stub.size() * !first_fragment + request.stub.size() > max_call) {
                        // Out of step or oversized: answer once and hang up.
                        channel.Write(BuildFault(header.call_id, 0, kNcaProtocolError), frame_ms_);
                        open = false;
                        break;
                    }
                    if (first_fragment) {
                        first = request;
                        call_stub.clear();
                    }
                    call_stub.insert(call_stub.end(), request.stub.begin(), request.stub.end());
                    in_call = !(request.header.flags & kPfcLastFrag);
                    if (in_call) break;
                    for (const auto& reply :
                         RunCall(connection, first.header.call_id, first.context_id, first.opnum, call_stub)) {
                        if (!channel.Write(reply, frame_ms_)) {
                            open = false;
                            break;
                        }
                    }
                    break;
                }
                case PduType::kOrphaned:
                case PduType::kCancel:
                case PduType::kShutdown:
                    in_call = false;
                    break;
                default:
                    open = false;
                    break;
            }
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    connection.done = true;
    changed_.notify_all();
}

}  // namespace TesselSoftware
