// A shared library that carries only a version note (7.2.3.4), so the
// version reader meets a real linker-made ELF file.
#include <cstdint>

namespace {

struct VersionNote {
    uint32_t name_size = 6;
    uint32_t desc_size = 8;
    uint32_t type = 1;
    char name[8] = {'V', 'e', 'x', 'o', 'r', '\0', '\0', '\0'};
    uint16_t version[4] = {7, 2, 3, 4};
};

__attribute__((section(".note.vexor.version"), used, aligned(4))) const VersionNote kNote{};

}  // namespace

extern "C" int versioned_fixture_marker() { return 1; }
