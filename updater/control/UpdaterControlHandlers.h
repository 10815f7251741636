// UpdaterControlHandlers: the service's nine control procedures, answering
// the administrators' tools from the UpdaterCore.
//
// Each procedure first checks its out pointers in order: a null one is an
// event-log error "Invalid RPC parameter: <name>" and a false result; the
// others are cleared. Then it fills its values. Applying settings converts
// and validates every input before it changes anything, and applies and
// saves under the settings lock: a failed apply leaves memory and store as
// they were and reports why in pError. Nothing throws out of a procedure.
// Safe for concurrent calls.
#pragma once

#include "Common/EventLogging.h"
#include "core/UpdaterCore.h"
#include "rpc/UpdaterControl.h"

namespace TesselSoftware {

class UpdaterControlHandlers final : public UpdaterControl::IUpdaterControl {
public:
    // Both must outlive the object.
    UpdaterControlHandlers(UpdaterCore& core, IEventLogging& event_log)
        : core_(core), event_log_(event_log) {}

#define VEXOR_RPC_OVERRIDE_HANDLER(opnum, name, result, access) \
    VEXOR_RPC_RESULT_##result name(const RpcCaller& caller VEXOR_PARAMS_##name(VEXOR_RPC_PARAM_DECL)) override;
    VEXOR_UPDATER_CONTROL(VEXOR_RPC_OVERRIDE_HANDLER)
#undef VEXOR_RPC_OVERRIDE_HANDLER

private:
    // Clears each pointer in turn; at the first null one reports it and
    // returns false.
    template <typename... Pointers>
    bool CheckOutPointers(Pointers... named);
    // The eleven values of a source record as they arrive.
    struct SourceInput;
    // Applies input (unless converting it failed with input_error) and saves
    // under the settings lock; on any failure restores what was there and
    // reports why.
    uint8_t ApplySettings(const SourceInput& input, const std::string& input_error, bool dat_source,
                          int64_t interval, int32_t source_type, char16_t** pError);

    UpdaterCore& core_;
    IEventLogging& event_log_;
};

}  // namespace TesselSoftware
