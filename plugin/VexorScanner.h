// The scanner objects the plug-in hands to its host.
//
// CScannerBase carries what every scanner has (reference count, logger);
// CVexorScanner binds to the shared engine and scans. One object runs one
// scan at a time (its ScanState is per object); objects on different
// threads scan in parallel on the one engine.
#pragma once

#include <atomic>

#include "ScanState.h"
#include "TSVexor/Scanner.h"

namespace TesselSoftware {

class CScannerBase : public IScanner {
public:
    int32_t QueryInterface(const void* interface_id, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    IScannerLegacy* DeletingDestructor(uint32_t flags) override;
    uint32_t GetInterfaceVersion() override;
    int32_t SetLogger(IScannerLogger* logger) override;
    IScannerLogger* GetLogger() override;

protected:
    CScannerBase() = default;
    virtual ~CScannerBase() = default;

private:
    std::atomic<uint32_t> references_{1};
    IScannerLogger* logger_ = nullptr;  // the host's; not owned
};

class CVexorScanner final : public CScannerBase {
public:
    CVexorScanner() = default;

    int32_t Initialise(const ScannerOptions* options, ScannerInfo* info,
                       ScannerText* error) override;
    int32_t ScanFile(const char* path, ScannerText* virus_name, ScannerText* message) override;
    int32_t CleanFile(const char* path, ScannerText* message) override;
    void Uninitialise() override;

    // The state of the last scan (for tests).
    const ScanState& LastScanState() const { return state_; }

private:
    int32_t InitialiseImpl(const ScannerOptions* options, ScannerInfo* info, ScannerText* error);
    int32_t ScanFileImpl(const char* path, ScannerText* virus_name, ScannerText* message);
    int32_t CleanFileImpl(const char* path, ScannerText* message);
    // Runs AVScanObject on path, collecting the messages into state_; false
    // with the reason in *message when the scan could not run.
    bool EngineScan(const char* path, bool cleaning, ScannerText* message, int64_t* dat_date);

    bool initialised_ = false;
    bool extra_option_ = false;
    ScanState state_;
};

}  // namespace TesselSoftware
