#include "rpc/UpdaterControl.h"

namespace TesselSoftware::UpdaterControl {

const SyntaxId& InterfaceSyntax() {
    static const SyntaxId syntax{*ParseUuid("8ee43b67-09d6-4773-9c3a-b26af6222819"), 2, 0};
    return syntax;
}

namespace {
#define VEXOR_RPC_PARAM_NAME(direction, type, name) #name,
#define VEXOR_RPC_NAME_TABLE(opnum, name, result, access) \
    constexpr const char* k##name##Parameters[] = {VEXOR_PARAMS_##name(VEXOR_RPC_PARAM_NAME) nullptr};
VEXOR_UPDATER_CONTROL(VEXOR_RPC_NAME_TABLE)
#undef VEXOR_RPC_NAME_TABLE
#undef VEXOR_RPC_PARAM_NAME
}  // namespace

const ProcedureInfo kProcedures[kProcedureCount] = {
#define VEXOR_RPC_PROCEDURE_INFO(opnum, name, result, access) {#name, k##name##Parameters},
    VEXOR_UPDATER_CONTROL(VEXOR_RPC_PROCEDURE_INFO)
#undef VEXOR_RPC_PROCEDURE_INFO
};

}  // namespace TesselSoftware::UpdaterControl
