// The plug-in's one export and its load-time set-up.
#include <new>

#include "EngineState.h"
#include "VexorScanner.h"

namespace {

// Creates the process-wide engine state (its locks and the registry lock)
// when the library is loaded, before any host thread can call in.
__attribute__((constructor)) void CreateEngineStateAtLoad() {
    try {
        TesselSoftware::EngineState::Instance();
    } catch (...) {
        // Retried on first use; CreateScannerInterface reports nothing else.
    }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) IScanner* CreateScannerInterface(uint32_t version) {
    if (version != kScannerInterfaceVersion) return nullptr;
    try {
        TesselSoftware::EngineState::Instance();
        return new (std::nothrow) TesselSoftware::CVexorScanner();
    } catch (...) {
        return nullptr;
    }
}
