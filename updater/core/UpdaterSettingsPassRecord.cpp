// UpdaterSettings' writes of the machine's pass record (core/PassRecord.h).
#include "Common/Errors/ExceptionBase.h"
#include "core/PassRecord.h"
#include "core/UpdaterSettings.h"

namespace TesselSoftware {

uint64_t UpdaterSettings::RecordPassStart(bool close_interrupted) {
    uint64_t number = 0;
    try {
        RegistryKey key = OpenProductKey(true);
        UnderRegistryLock([&] {
            uint64_t started = 0, ended = 0;
            key.ReadQword(kPassNumberValue, 0, &started);
            key.ReadQword(kPassEndedValue, 0, &ended);
            number = started + 1;
            std::vector<RegistryKey::PairedValue> values = {{kPassNumberValue, false, "", number, true}};
            if (close_interrupted && started > ended) {
                values.push_back({kPassEndedValue, false, "", started, true});
                values.push_back({kPassResultValue, true, kPassInterrupted, 0});
            }
            key.WriteTogether(values);
        });
    } catch (const ExceptionBase& e) {
        throw ExceptionBase(e.Code(), "Error saving the pass record - " + e.Message());
    }
    return number;
}

void UpdaterSettings::RecordPassEnd(uint64_t number, const std::string& result) {
    try {
        RegistryKey key = OpenProductKey(true);
        UnderRegistryLock([&] {
            uint64_t ended = 0;
            key.ReadQword(kPassEndedValue, 0, &ended);
            if (number < ended) return;  // a later pass has told its end
            key.WriteTogether({{kPassEndedValue, false, "", number, true}, {kPassResultValue, true, result, 0}});
        });
    } catch (const ExceptionBase& e) {
        throw ExceptionBase(e.Code(), "Error saving the pass record - " + e.Message());
    }
}

}  // namespace TesselSoftware
