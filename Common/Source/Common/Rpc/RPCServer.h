// CRPCServer: the service's end of the local RPC runtime. It binds an
// endpoint (an AF_UNIX socket in the runtime directory), registers
// interfaces and serves their calls, one thread per connection.
//
//   CRPCServer server;                      // no text log: failures are silent
//   server.UseEndpoint("VexorfTUpdater_RPC64");
//   server.RegisterInterface(definition);
//   server.Listen();                        // returns at once
//   ...
//   server.UnregisterAll();                 // waits for running calls
//
// Every caller is identified by its socket credentials when it connects,
// before it has sent anything: administrators may call everything, readers
// only the interface's read-only procedures, everyone else gets access
// denied (5) without a byte of its request being decoded. So that no
// reader can starve the administrators, callers without full access share
// the slots left after kReservedSlots, at most kMaxConnectionsPerAccount
// each, and their frames and calls are capped at kLimitedFrameBytes.
// The setup methods belong to one thread; serving runs on the server's own
// threads until the object is destroyed.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Common/Logging.h"
#include "Common/Rpc/NdrCodec.h"
#include "Common/Rpc/RpcCaller.h"
#include "Common/Rpc/RpcPdu.h"

namespace TesselSoftware {

class ExclusiveLockFile;

// A call's failure that goes back to the client as a fault with this error
// number; the server goes on.
class RpcFault : public ExceptionBase {
public:
    using ExceptionBase::ExceptionBase;
};

struct RpcServerInterface {
    SyntaxId syntax;
    uint16_t procedure_count = 0;
    // Bit n set: opnum n only reads, and readers may call it.
    uint32_t read_only_opnums = 0;
    // Decodes the request, runs the procedure and encodes the response.
    // May throw; every exception becomes a fault for that call alone.
    std::function<void(uint16_t opnum, const RpcCaller& caller, NdrReader& in, NdrWriter& out)>
        dispatch;
};

// Who may call what.
struct RpcAccessPolicy {
    std::vector<uid_t> admin_uids;    // full access
    std::optional<gid_t> admin_gid;   // members have full access; owns the socket
    std::optional<gid_t> reader_gid;  // members may call read-only procedures

    // root, this process's own account, group "vexor-admin" and group
    // "vexor" (each group when it exists).
    static RpcAccessPolicy ForThisMachine();
};

enum class RpcAccess { kNone, kRead, kAll };

// What caller (with its supplementary groups) may do under policy.
RpcAccess AccessFor(const RpcAccessPolicy& policy, uid_t uid, gid_t gid,
                    const std::vector<gid_t>& groups);

class CRPCServer {
public:
    static constexpr int kEndpointAttempts = 7;
    static constexpr uint32_t kMaxConcurrentCalls = 1234;
    // Connections only root and administrators may use.
    static constexpr uint32_t kReservedSlots = 64;
    // Connections one account without full access may hold at once.
    static constexpr uint32_t kMaxConnectionsPerAccount = 16;
    // Largest frame and call of a caller without full access: the
    // read-only procedures take a few bytes.
    static constexpr size_t kLimitedFrameBytes = 4096;

    explicit CRPCServer(ILogging* logger = nullptr);
    ~CRPCServer();
    CRPCServer(const CRPCServer&) = delete;
    CRPCServer& operator=(const CRPCServer&) = delete;

    bool UseEndpoint(const std::string& endpoint);
    bool RegisterInterface(const RpcServerInterface& definition);
    bool Listen();
    // Refuses new calls to every registered interface, waits for the
    // running ones to return, then empties the list.
    void UnregisterAll();

    uint32_t LastStatus() const { return last_status_; }
    // One "ncalrpc:<computer>[<endpoint>]" text per endpoint in use.
    const std::vector<std::string>& Bindings() const { return bindings_; }

    // Before UseEndpoint.
    void SetAccessPolicy(RpcAccessPolicy policy);
    void SetEndpointRetryDelayForTesting(int milliseconds);
    // idle: between calls; frame: the rest of a frame once it began, and a
    // whole send.
    void SetTimeoutsForTesting(int idle_ms, int frame_ms);
    // Connections being served now.
    size_t ConnectionCount() const;

private:
    struct Connection;
    struct Registration;

    bool TryUseEndpoint(const std::string& endpoint);
    void AcceptLoop();
    // Whether a caller with access and uid may have one more connection.
    // REQUIRES: mutex_ held.
    bool HasSlotFor(RpcAccess access, uid_t uid) const;
    void Serve(Connection& connection);
    // Runs one complete request; returns the frames to send back.
    std::vector<std::vector<uint8_t>> RunCall(Connection& connection, uint32_t call_id,
                                              uint16_t context_id, uint16_t opnum,
                                              std::span<const uint8_t> stub);
    std::vector<uint8_t> AnswerBind(Connection& connection, std::span<const uint8_t> frame,
                                    bool* keep_open);
    void ReapFinished();

    ILogging* const logger_;
    uint32_t last_status_ = 0;
    std::vector<std::string> bindings_;
    RpcAccessPolicy policy_;
    int retry_delay_ms_ = 1000;
    int idle_ms_ = 120000;
    int frame_ms_ = 10000;

    std::unique_ptr<ExclusiveLockFile> endpoint_lock_;
    int listen_fd_ = -1;
    std::string socket_path_;
    int stop_fd_ = -1;  // eventfd, readable once the server stops
    std::thread acceptor_;
    bool listening_ = false;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::shared_ptr<Registration>> registrations_;  // GUARDED_BY(mutex_)
    std::list<Connection> connections_;                         // GUARDED_BY(mutex_)
    bool stopping_ = false;                                     // GUARDED_BY(mutex_)
};

}  // namespace TesselSoftware
