#include "rpc/UpdaterControlClient.h"

namespace TesselSoftware::UpdaterControl::Client {

#define VEXOR_RPC_CLIENT_FIELD(direction, type, name) \
    RpcStub::Param<RpcStub::Direction::direction, RpcStub::Type::type>::ClientArg name;
#define VEXOR_RPC_CLIENT_INIT(direction, type, name) {name},
#define VEXOR_RPC_CLIENT_BIND(direction, type, name) all.name.Bind(all);
#define VEXOR_RPC_CLIENT_CHECK(direction, type, name) all.name.Check();
#define VEXOR_RPC_CLIENT_ENCODE(direction, type, name) all.name.Encode(request);
#define VEXOR_RPC_CLIENT_DECODE(direction, type, name) all.name.Decode(in);
#define VEXOR_RPC_CLIENT_FREE(direction, type, name) all.name.Free();
#define VEXOR_RPC_CLIENT_RESULT_Bool const uint8_t result = in.ReadSmall();
#define VEXOR_RPC_CLIENT_RESULT_Void
#define VEXOR_RPC_CLIENT_RETURN_Bool return result;
#define VEXOR_RPC_CLIENT_RETURN_Void return;

#define VEXOR_RPC_CLIENT_STUB(opnum, name, result, access)                                         \
    struct name##Args {                                                                            \
        VEXOR_PARAMS_##name(VEXOR_RPC_CLIENT_FIELD)                                                \
    };                                                                                             \
    VEXOR_RPC_RESULT_##result name(RpcClientConnection& binding VEXOR_PARAMS_##name(VEXOR_RPC_PARAM_DECL)) { \
        [[maybe_unused]] name##Args all{VEXOR_PARAMS_##name(VEXOR_RPC_CLIENT_INIT)};                \
        VEXOR_PARAMS_##name(VEXOR_RPC_CLIENT_BIND)                                                 \
        try {                                                                                      \
            VEXOR_PARAMS_##name(VEXOR_RPC_CLIENT_CHECK)                                            \
            [[maybe_unused]] NdrWriter request;                                                    \
            VEXOR_PARAMS_##name(VEXOR_RPC_CLIENT_ENCODE)                                           \
            const std::vector<uint8_t> reply = binding.Call(opnum, request.Bytes());               \
            NdrReader in(reply);                                                                   \
            VEXOR_PARAMS_##name(VEXOR_RPC_CLIENT_DECODE)                                           \
            VEXOR_RPC_CLIENT_RESULT_##result                                                       \
            in.ExpectEnd();                                                                        \
            VEXOR_RPC_CLIENT_RETURN_##result                                                       \
        } catch (const RpcStubException& e) {                                                      \
            VEXOR_PARAMS_##name(VEXOR_RPC_CLIENT_FREE)                                             \
            throw RpcCallException(e.Code(), e.Message());                                         \
        } catch (...) {                                                                            \
            VEXOR_PARAMS_##name(VEXOR_RPC_CLIENT_FREE)                                             \
            throw;                                                                                 \
        }                                                                                          \
    }
VEXOR_UPDATER_CONTROL(VEXOR_RPC_CLIENT_STUB)

}  // namespace TesselSoftware::UpdaterControl::Client
