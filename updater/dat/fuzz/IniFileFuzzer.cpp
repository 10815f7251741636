// libFuzzer target for the catalogue reader: any bytes an update source can
// serve must load or fail with an ExceptionBase, never crash, and every
// lookup on what loaded must be safe.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "Common/Errors/ExceptionBase.h"
#include "dat/IniFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/vexor-ini-fuzz-" + std::to_string(::getpid()) + ".ini";
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, file);
        std::fclose(file);
    } else {
        return 0;
    }
    TesselSoftware::IniFile ini;
    try {
        ini.Load(path);
    } catch (const TesselSoftware::ExceptionBase&) {
        // Rejected input; what was read before the error must still be usable.
    }
    std::string value;
    for (const char* section : {"AVV-ZIP", "AVV-Incremental", "Contents", "Multiple Patch Table",
                                "Incremental Resolver", "EngineUpdate", ""}) {
        ini.GetValue(section, "DATVersion", &value);
        TesselSoftware::IniSection entries;
        if (ini.FindSection(section, &entries)) {
            for (const auto entry : entries) TesselSoftware::FindIniEntry(entries, entry.key);
        }
    }
    return 0;
}
