// UpdaterControl: the one definition of the control interface between the
// updater service and the administrators' tools. The client stubs, the
// server dispatch, the procedure prototypes and the parameter-name table
// are all generated from the two tables below, so the ends cannot drift.
//
// VEXOR_UPDATER_CONTROL(PROCEDURE) lists the procedures in opnum order:
//   PROCEDURE(opnum, name, result, access)
//     result: Bool (a boolean result) or Void (none)
//     access: Read (callers with read access may call it) or Admin
// VEXOR_PARAMS_<name>(PARAM) lists a procedure's parameters after the
// binding handle, in order:
//   PARAM(direction, type, name)     direction In or Out; type as in
//                                    RpcStub::Type
#pragma once

#include <cstdint>
#include <string_view>

#include "Common/Rpc/RpcCaller.h"
#include "Common/Rpc/RpcPdu.h"
#include "Common/Rpc/RpcStubParameters.h"

#define VEXOR_UPDATER_CONTROL(PROCEDURE)                   \
    PROCEDURE(0, UpdaterGetVersionInfo, Bool, Read)        \
    PROCEDURE(1, UpdaterStartUpdate, Void, Admin)          \
    PROCEDURE(2, UpdaterCancelUpdate, Void, Admin)         \
    PROCEDURE(3, UpdaterGetStatus, Bool, Read)             \
    PROCEDURE(4, UpdaterGetLogEntries, Bool, Read)         \
    PROCEDURE(5, UpdaterGetDatSettings, Bool, Admin)       \
    PROCEDURE(6, UpdaterSetDatSettings, Bool, Admin)       \
    PROCEDURE(7, UpdaterGetEngineSettings, Bool, Admin)    \
    PROCEDURE(8, UpdaterSetEngineSettings, Bool, Admin)

// The source values read by opnums 5 and 7, from pSourceUrl to pError.
#define VEXOR_SOURCE_OUT_PARAMS(PARAM)            \
    PARAM(Out, String, pSourceUrl)                \
    PARAM(Out, Boolean, pUseProxyServer)          \
    PARAM(Out, String, pProxyServer)              \
    PARAM(Out, Short, pProxyPort)                 \
    PARAM(Out, Boolean, pProxyRequiresLogon)      \
    PARAM(Out, String, pProxyUser)                \
    PARAM(Out, String, pProxyPassword)            \
    PARAM(Out, String, pLocalDirectory)           \
    PARAM(Out, String, pNetShareDirectory)        \
    PARAM(Out, String, pNetShareUserName)         \
    PARAM(Out, String, pNetSharePassword)         \
    PARAM(Out, String, pError)

// The source values applied by opnums 6 and 8, from SourceUrl to pError.
#define VEXOR_SOURCE_IN_PARAMS(PARAM)             \
    PARAM(In, String, SourceUrl)                  \
    PARAM(In, Boolean, UseProxyServer)            \
    PARAM(In, String, ProxyServer)                \
    PARAM(In, Short, ProxyPort)                   \
    PARAM(In, Boolean, ProxyRequiresLogon)        \
    PARAM(In, String, ProxyUser)                  \
    PARAM(In, String, ProxyPassword)              \
    PARAM(In, String, LocalDirectory)             \
    PARAM(In, String, NetShareDirectory)          \
    PARAM(In, String, NetShareUserName)           \
    PARAM(In, String, NetSharePassword)           \
    PARAM(Out, String, pError)

#define VEXOR_PARAMS_UpdaterGetVersionInfo(PARAM) \
    PARAM(Out, String, pEngineVersion) PARAM(Out, String, pDatVersion) PARAM(Out, String, pError)
#define VEXOR_PARAMS_UpdaterStartUpdate(PARAM)
#define VEXOR_PARAMS_UpdaterCancelUpdate(PARAM)
#define VEXOR_PARAMS_UpdaterGetStatus(PARAM)                                      \
    PARAM(Out, Hyper, pLastUpdate) PARAM(Out, Hyper, pNextUpdate)                \
    PARAM(Out, Boolean, pIsUpdateRunning) PARAM(Out, String, pStatus)
#define VEXOR_PARAMS_UpdaterGetLogEntries(PARAM)                                  \
    PARAM(Out, Long, pNumEntries) PARAM(Out, LogEntryArray, ppLogEntries)        \
    PARAM(Out, String, pError)
#define VEXOR_PARAMS_UpdaterGetDatSettings(PARAM) \
    PARAM(Out, Hyper, pUpdateInterval) PARAM(Out, Enum16, pDATSource) VEXOR_SOURCE_OUT_PARAMS(PARAM)
#define VEXOR_PARAMS_UpdaterSetDatSettings(PARAM) \
    PARAM(In, Hyper, UpdateInterval) PARAM(In, Enum16, DATSource) VEXOR_SOURCE_IN_PARAMS(PARAM)
#define VEXOR_PARAMS_UpdaterGetEngineSettings(PARAM) \
    PARAM(Out, Enum16, pDownloaderType) VEXOR_SOURCE_OUT_PARAMS(PARAM)
#define VEXOR_PARAMS_UpdaterSetEngineSettings(PARAM) \
    PARAM(In, Enum16, DownloaderType) VEXOR_SOURCE_IN_PARAMS(PARAM)

// The C type of a parameter in a procedure's signature.
#define VEXOR_RPC_CTYPE(direction, type)                                            \
    ::TesselSoftware::RpcStub::Param<::TesselSoftware::RpcStub::Direction::direction, \
                                     ::TesselSoftware::RpcStub::Type::type>::CType
#define VEXOR_RPC_PARAM_DECL(direction, type, name) , VEXOR_RPC_CTYPE(direction, type) name
#define VEXOR_RPC_RESULT_Bool uint8_t
#define VEXOR_RPC_RESULT_Void void

namespace TesselSoftware::UpdaterControl {

// "8ee43b67-09d6-4773-9c3a-b26af6222819", version 2.0.
const SyntaxId& InterfaceSyntax();

enum Opnum : uint16_t {
#define VEXOR_RPC_OPNUM_ENUM(opnum, name, result, access) k##name = opnum,
    VEXOR_UPDATER_CONTROL(VEXOR_RPC_OPNUM_ENUM)
#undef VEXOR_RPC_OPNUM_ENUM
};

inline constexpr uint16_t kProcedureCount = []() {
    uint16_t count = 0;
#define VEXOR_RPC_COUNT(opnum, name, result, access) ++count;
    VEXOR_UPDATER_CONTROL(VEXOR_RPC_COUNT)
#undef VEXOR_RPC_COUNT
    return count;
}();

// The opnums run 0, 1, 2, ... in the order the table lists them.
static_assert([]() {
    uint16_t expected = 0;
    bool in_order = true;
#define VEXOR_RPC_CHECK_ORDER(opnum, name, result, access) in_order = in_order && opnum == expected++;
    VEXOR_UPDATER_CONTROL(VEXOR_RPC_CHECK_ORDER)
#undef VEXOR_RPC_CHECK_ORDER
    return in_order;
}(), "opnums must run 0..n-1 in table order");

// Bit n set: opnum n only reads.
inline constexpr uint32_t kReadOnlyOpnums = []() {
    uint32_t mask = 0;
#define VEXOR_RPC_READ_MASK(opnum, name, result, access) \
    if (std::string_view(#access) == "Read") mask |= 1u << opnum;
    VEXOR_UPDATER_CONTROL(VEXOR_RPC_READ_MASK)
#undef VEXOR_RPC_READ_MASK
    return mask;
}();

struct ProcedureInfo {
    const char* name;
    // The parameter names after the binding handle, ending with nullptr.
    const char* const* parameters;
};
// Indexed by opnum.
extern const ProcedureInfo kProcedures[kProcedureCount];

// The service's procedures, called by the server dispatch with the caller
// first. Implementations must not throw: an exception ends the call with a
// fault (1726).
class IUpdaterControl {
public:
    virtual ~IUpdaterControl() = default;
#define VEXOR_RPC_DECLARE_HANDLER(opnum, name, result, access) \
    virtual VEXOR_RPC_RESULT_##result name(const RpcCaller& caller VEXOR_PARAMS_##name(VEXOR_RPC_PARAM_DECL)) = 0;
    VEXOR_UPDATER_CONTROL(VEXOR_RPC_DECLARE_HANDLER)
#undef VEXOR_RPC_DECLARE_HANDLER
};

}  // namespace TesselSoftware::UpdaterControl
