// The client end of the control interface: one stub per procedure. Each
// takes the binding (a connection to the service's endpoint) first, then
// the procedure's parameters. Out-strings and the log entry array come back
// allocated with RpcAllocate for the caller to release with RpcFree (or
// FreeLogEntries). Transport failures and bad answers throw
// RpcCallException; nothing the stub allocated is left behind then.
#pragma once

#include "Common/Rpc/RpcClient.h"
#include "rpc/UpdaterControl.h"

namespace TesselSoftware::UpdaterControl::Client {

#define VEXOR_RPC_DECLARE_CLIENT(opnum, name, result, access) \
    VEXOR_RPC_RESULT_##result name(RpcClientConnection& binding VEXOR_PARAMS_##name(VEXOR_RPC_PARAM_DECL));
VEXOR_UPDATER_CONTROL(VEXOR_RPC_DECLARE_CLIENT)
#undef VEXOR_RPC_DECLARE_CLIENT

}  // namespace TesselSoftware::UpdaterControl::Client
