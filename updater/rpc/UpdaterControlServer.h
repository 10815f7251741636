// The server end of the control interface: the dispatch that decodes each
// request, calls the IUpdaterControl procedure and encodes its response.
#pragma once

#include "Common/Rpc/RPCServer.h"
#include "rpc/UpdaterControl.h"

namespace TesselSoftware::UpdaterControl {

// The interface definition to register with CRPCServer; procedures must
// outlive the server's use of it.
RpcServerInterface ServerInterface(IUpdaterControl& procedures);

}  // namespace TesselSoftware::UpdaterControl
