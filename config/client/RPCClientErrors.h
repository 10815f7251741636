// The exceptions of the control client.
#pragma once

#include "Common/Errors/ExceptionBase.h"

namespace TesselSoftware::RPCClient {

// A call that did not reach the service or did not come back: the platform
// error number and a ready message ("Failed to get Vexor updater status.
// Error 1722 - The RPC server is unavailable.\r\n").
class CRPCException : public ExceptionBase {
public:
    using ExceptionBase::ExceptionBase;
};

// An index outside a TRPCClientArray ("index out of bounds").
class CRPCClientArrayException : public ExceptionBase {
public:
    CRPCClientArrayException() : ExceptionBase(0, "index out of bounds") {}
};

}  // namespace TesselSoftware::RPCClient
