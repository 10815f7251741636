// The file version of the engine library: an ELF note that the settings
// store reads without loading the library (section .note.vexor.version, name
// "Vexor", type 1, four little-endian 16-bit numbers). The numbers come from
// the build (vexor_add_engine), so each variant carries its own.
#include "EngineVersion.h"

#if !defined(VEXOR_ENGINE_VERSION_MAJOR) || !defined(VEXOR_ENGINE_VERSION_MINOR) || \
    !defined(VEXOR_ENGINE_VERSION_BUILD) || !defined(VEXOR_ENGINE_VERSION_REVISION)
#error "the engine version numbers must be defined by the build"
#endif

namespace VexorEngine {

namespace {

struct VersionNote {
    uint32_t name_size = 6;  // "Vexor" and its NUL
    uint32_t desc_size = 8;
    uint32_t type = 1;
    char name[8] = {'V', 'e', 'x', 'o', 'r', '\0', '\0', '\0'};  // padded to 4 bytes
    EngineVersion version{VEXOR_ENGINE_VERSION_MAJOR, VEXOR_ENGINE_VERSION_MINOR,
                          VEXOR_ENGINE_VERSION_BUILD, VEXOR_ENGINE_VERSION_REVISION};
};
static_assert(sizeof(VersionNote) == 28);

__attribute__((section(".note.vexor.version"), used, aligned(4))) const VersionNote kNote{};

}  // namespace

const EngineVersion& BuiltEngineVersion() {
    return kNote.version;
}

}  // namespace VexorEngine
