// The engine's callback during AVInitialise and AVScanObject. It runs on
// the scanning thread and writes only into that scan's ScanState.
#include <cstring>

#include "EngineState.h"
#include "ScanState.h"

namespace TesselSoftware {

namespace {

template <typename T>
T FieldAt(uint64_t record, size_t offset) {
    T value{};
    if (record != 0) std::memcpy(&value, reinterpret_cast<const char*>(record) + offset, sizeof value);
    return value;
}

}  // namespace

uint32_t EngineCallback(const EngineCallbackContext* context, uint16_t message,
                        uint64_t /*reserved*/, uint64_t parameter) {
    if (context == nullptr) return 0;
    ScanState* state = FieldAt<ScanState*>(reinterpret_cast<uint64_t>(context), 8);
    if (state == nullptr) return 0;  // engine start: nothing to record
    try {
        switch (message) {
            case kEngineMsgNotScanned:
                switch (parameter & 0xFFFF) {
                    case kEngineReasonLimit: state->not_fully_unpacked = true; break;
                    case kEngineReasonEncrypted: state->encrypted = true; break;
                    case kEngineReasonAccess: state->locked = true; break;
                    case kEngineReasonZeroSize: state->zero_size = true; break;
                    case kEngineReasonCorrupt: state->corrupt = true; break;
                    default: state->internal_failure = true; break;
                }
                break;
            case kEngineMsgInfected: {
                const char* name = FieldAt<const char*>(parameter, 16);
                state->virus_name = name != nullptr ? name : "";
                break;
            }
            case kEngineMsgCleanFailed: state->clean_failed = true; break;
            case kEngineMsgCleaned:
                state->cleaned = true;
                if (FieldAt<uint16_t>(parameter, 12) == kEngineCleanRemoval) state->removal = true;
                break;
            case kEngineMsgLeaveObject: --state->nesting; break;
            case kEngineMsgEnterObject: ++state->nesting; break;
            case kEngineMsgSummary:
                if (state->nesting == 1) {
                    const uint16_t summary = parameter & 0xFFFF;
                    if (summary == kEngineSummaryOk) state->summary_ok = true;
                    if (summary == kEngineSummaryInfected) state->infected = true;
                }
                break;
            default: break;  // object names and container marks only trace
        }
    } catch (...) {
        // Nothing may cross back into the engine.
        state->internal_failure = true;
    }
    return 0;
}

}  // namespace TesselSoftware
