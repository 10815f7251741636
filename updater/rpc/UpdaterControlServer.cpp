#include "rpc/UpdaterControlServer.h"

namespace TesselSoftware::UpdaterControl {

namespace {

#define VEXOR_RPC_SERVER_LOCAL(direction, type, name)                                \
    RpcStub::Param<RpcStub::Direction::direction, RpcStub::Type::type>::ServerLocal name;
#define VEXOR_RPC_SERVER_BIND(direction, type, name) all.name.Bind(all);
#define VEXOR_RPC_SERVER_DECODE(direction, type, name) all.name.Decode(in);
#define VEXOR_RPC_SERVER_ARG(direction, type, name) , all.name.Arg()
#define VEXOR_RPC_SERVER_ENCODE(direction, type, name) all.name.Encode(out);
#define VEXOR_RPC_SERVER_CALL_Bool(call) const uint8_t result = call;
#define VEXOR_RPC_SERVER_CALL_Void(call) call;
#define VEXOR_RPC_SERVER_RESULT_Bool out.WriteSmall(result);
#define VEXOR_RPC_SERVER_RESULT_Void

// One stub per procedure: decode the in-parameters, call, encode the
// out-parameters and the result. The locals release what the procedure
// allocated once the response is encoded (or an exception left).
#define VEXOR_RPC_SERVER_STUB(opnum, name, result, access)                                   \
    struct name##Locals {                                                                    \
        VEXOR_PARAMS_##name(VEXOR_RPC_SERVER_LOCAL)                                          \
    };                                                                                       \
    void Serve##name(IUpdaterControl& procedures, const RpcCaller& caller, NdrReader& in,   \
                     NdrWriter& out) {                                                       \
        [[maybe_unused]] name##Locals all;                                                   \
        (void)out;                                                                           \
        VEXOR_PARAMS_##name(VEXOR_RPC_SERVER_BIND)                                           \
        VEXOR_PARAMS_##name(VEXOR_RPC_SERVER_DECODE)                                         \
        in.ExpectEnd();                                                                      \
        VEXOR_RPC_SERVER_CALL_##result(procedures.name(caller VEXOR_PARAMS_##name(VEXOR_RPC_SERVER_ARG))) \
        VEXOR_PARAMS_##name(VEXOR_RPC_SERVER_ENCODE)                                         \
        VEXOR_RPC_SERVER_RESULT_##result                                                     \
    }
VEXOR_UPDATER_CONTROL(VEXOR_RPC_SERVER_STUB)

using Stub = void (*)(IUpdaterControl&, const RpcCaller&, NdrReader&, NdrWriter&);
constexpr Stub kStubs[] = {
#define VEXOR_RPC_STUB_ENTRY(opnum, name, result, access) &Serve##name,
    VEXOR_UPDATER_CONTROL(VEXOR_RPC_STUB_ENTRY)
#undef VEXOR_RPC_STUB_ENTRY
};
static_assert(std::size(kStubs) == kProcedureCount);

}  // namespace

RpcServerInterface ServerInterface(IUpdaterControl& procedures) {
    RpcServerInterface definition;
    definition.syntax = InterfaceSyntax();
    definition.procedure_count = kProcedureCount;
    definition.read_only_opnums = kReadOnlyOpnums;
    // The runtime checks the opnum against procedure_count first.
    definition.dispatch = [&procedures](uint16_t opnum, const RpcCaller& caller, NdrReader& in, NdrWriter& out) {
        kStubs[opnum](procedures, caller, in, out);
    };
    return definition;
}

}  // namespace TesselSoftware::UpdaterControl
