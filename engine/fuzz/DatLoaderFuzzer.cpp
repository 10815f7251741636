// libFuzzer target for everything the engine reads from DAT and patch files.
//
// The first input byte chooses what the rest is fed to. Raw modes hand the
// bytes over as they are; wrapped modes put them behind a header with the
// right size and checksum, so the fuzzer reaches the record decoders instead
// of stopping at the checksum. Build and run with engine/scripts/fuzz.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "ByteIo.h"
#include "vexor/DatFormat.h"
#include "vexor/DatPatch.h"

namespace {

using namespace VexorEngine;

// A DAT file of the given kind whose header matches payload (count from its first two bytes).
std::string WrapDatFile(int kind, std::string_view input) {
    const uint32_t count =
        input.size() >= 2 ? static_cast<uint8_t>(input[0]) | (static_cast<uint8_t>(input[1]) << 8)
                          : 0;
    const std::string_view payload = input.size() >= 2 ? input.substr(2) : input;
    return FrameDatFile(static_cast<DatKind>(kind), 6543, PackDosDate(2024, 5, 17), count, payload);
}

// A patch from 6543 to 6544 whose header matches body.
std::string WrapPatch(std::string_view body) {
    std::string patch;
    ByteWriter out(&patch);
    out.Bytes("VXPT");
    out.U16(kPatchFormatVersion);
    out.U16(3);
    out.U32(6543);
    out.U32(6544);
    out.U16(PackDosDate(2024, 5, 18));
    out.U16(0);
    out.U32(static_cast<uint32_t>(body.size()));
    out.U32(0);
    out.U32(Crc32(body, Crc32(patch)));
    out.Bytes(body);
    return patch;
}

const DatFiles& BaseSet() {
    static const DatFiles files = [] {
        DatFiles built;
        std::string error;
        BuildDatFiles("One ; repair ; \"ONE-SIGNATURE\"\nTwo ; delete ; 54 57 ?? 4f 4f 4f\n", "",
                      6543, PackDosDate(2024, 5, 17), &built, &error);
        return built;
    }();
    return files;
}

// Splits input into four parts at lengths given by its first six bytes.
DatFiles Split(std::string_view input) {
    DatFiles files;
    std::string* parts[] = {&files.scan, &files.names, &files.clean, &files.extra};
    size_t lengths[3] = {0, 0, 0};
    for (int i = 0; i < 3 && input.size() >= 2; ++i) {
        lengths[i] = static_cast<uint8_t>(input[0]) | (static_cast<uint8_t>(input[1]) << 8);
        input.remove_prefix(2);
    }
    for (int i = 0; i < 4; ++i) {
        const size_t n = i < 3 ? std::min(lengths[i], input.size()) : input.size();
        parts[i]->assign(input.substr(0, n));
        input.remove_prefix(n);
    }
    return files;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const int mode = data[0] % 11;
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string error;
    DatFileContent content;
    DatSet set;
    PatchInfo info;
    if (mode < 4) {
        DecodeDatFile(input, static_cast<DatKind>(mode), &content, &error);
    } else if (mode < 8) {
        DecodeDatFile(WrapDatFile(mode - 4, input), static_cast<DatKind>(mode - 4), &content,
                      &error);
    } else if (mode == 8) {
        DecodeDatSet(Split(input), &set, &error);
    } else if (mode == 9) {
        DatFiles files = BaseSet();
        if (ApplyPatch(WrapPatch(input), &files, &info, &error)) {
            DecodeDatSet(files, &set, &error);
        }
    } else {
        std::vector<Signature> signatures;
        if (ParseSignatureList(input, &signatures, &error)) {
            FormatSignatureList(signatures);
        }
    }
    return 0;
}
