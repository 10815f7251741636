// Shared pieces of the control interface's tests: procedures with fixed
// answers, a server on a scratch system root, and raw frames.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "Common/Logs/EventLog.h"
#include "Common/Rpc/RPCServer.h"
#include "Common/Rpc/RpcClient.h"
#include "TestSupport.h"
#include "UpdaterTestSupport.h"
#include "control/UpdaterControlHandlers.h"
#include "rpc/UpdaterControlClient.h"
#include "rpc/UpdaterControlServer.h"

namespace TesselSoftware::Testing {

inline constexpr char kEndpoint[] = "VexorfTUpdater_RPC64";

#define VEXOR_TEST_UNNAMED_PARAM(direction, type, name) , VEXOR_RPC_CTYPE(direction, type)
#define VEXOR_TEST_FIXED_ANSWER(opnum, name, result, access)                                           \
    VEXOR_RPC_RESULT_##result name(const RpcCaller& VEXOR_PARAMS_##name(VEXOR_TEST_UNNAMED_PARAM)) override { \
        ++calls;                                                                                       \
        return static_cast<VEXOR_RPC_RESULT_##result>(1);                                              \
    }

// Every procedure answers true and leaves its outputs as they are, but
// UpdaterGetStatus, which runs on_status when set.
class FixedProcedures : public UpdaterControl::IUpdaterControl {
public:
    std::atomic<int> calls{0};
    std::function<uint8_t(char16_t** status)> on_status;

    VEXOR_UPDATER_CONTROL(VEXOR_TEST_FIXED_ANSWER)
};

class ScriptedProcedures final : public FixedProcedures {
public:
    uint8_t UpdaterGetStatus(const RpcCaller&, int64_t* last, int64_t*, uint8_t*, char16_t** status) override {
        ++calls;
        *last = 1234;
        return on_status ? on_status(status) : 1;
    }
};

// A server on the endpoint under a scratch system root, serving procedures.
class TestServer {
public:
    explicit TestServer(const std::string& root, ILogging* log = nullptr)
        : env_("VEXOR_SYSTEM_ROOT", root), server_(log) {
        server_.SetEndpointRetryDelayForTesting(5);
        server_.SetTimeoutsForTesting(5000, 500);
    }
    bool Start(UpdaterControl::IUpdaterControl& procedures) {
        return server_.UseEndpoint(kEndpoint) &&
               server_.RegisterInterface(UpdaterControl::ServerInterface(procedures)) && server_.Listen();
    }
    CRPCServer& server() { return server_; }

private:
    ScopedEnv env_;
    CRPCServer server_;
};

// The service's side under a scratch system root: an UpdaterCore with its
// stored settings, an event log that records, and the real procedures.
struct ServiceUnderTest : CoreUnderTest {
    ServiceUnderTest() { core.Load(); }
    UpdaterControlHandlers handlers{core, event_log};
};

inline std::unique_ptr<RpcClientConnection> Connect(SyntaxId syntax = UpdaterControl::InterfaceSyntax()) {
    return std::make_unique<RpcClientConnection>(RpcEndpointPath(kEndpoint), syntax);
}

// The error number of a transport failure of call, or 0 when it succeeded.
inline uint32_t CallError(const std::function<void()>& call) {
    try {
        call();
    } catch (const RpcCallException& e) {
        return static_cast<uint32_t>(e.Code());
    }
    return 0;
}

// A plain connected socket for raw frames; -1 when it cannot connect.
inline int RawConnect() {
    const std::string path = RpcEndpointPath(kEndpoint);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace TesselSoftware::Testing
