// Patch computation (greedy block matching) and checked application.
#include "vexor/DatPatch.h"

#include <cstring>
#include <unordered_map>

#include "ByteIo.h"

namespace VexorEngine {

namespace {

constexpr char kPatchMagic[4] = {'V', 'X', 'P', 'T'};
constexpr uint16_t kPatchFileCount = 3;
constexpr size_t kChecksumOffset = 28;
constexpr size_t kBlock = 16;
constexpr uint8_t kOpCopy = 1;
constexpr uint8_t kOpInsert = 2;

bool Fail(std::string* error, std::string text) {
    if (error) {
        *error = std::move(text);
    }
    return false;
}

uint64_t HashBlock(const char* p) {
    uint64_t a, b;
    std::memcpy(&a, p, 8);
    std::memcpy(&b, p + 8, 8);
    uint64_t h = (a ^ 0x9E3779B97F4A7C15ull) * 0xBF58476D1CE4E5B9ull;
    h ^= (h >> 31) ^ b;
    h *= 0x94D049BB133111EBull;
    return h ^ (h >> 29);
}

// Appends the operations that build `to` from `from`: every run of at least
// one block that also occurs in `from` (at a block boundary there) becomes a
// copy, everything else an insert.
uint32_t Diff(std::string_view from, std::string_view to, ByteWriter& out) {
    std::unordered_map<uint64_t, uint32_t> index;
    index.reserve(from.size() / kBlock + 1);
    for (size_t at = 0; at + kBlock <= from.size(); at += kBlock) {
        index.emplace(HashBlock(from.data() + at), static_cast<uint32_t>(at));
    }
    uint32_t ops = 0;
    size_t literal_start = 0;
    const auto flush_literal = [&](size_t end) {
        if (end > literal_start) {
            out.U8(kOpInsert);
            out.U32(static_cast<uint32_t>(end - literal_start));
            out.Bytes(to.substr(literal_start, end - literal_start));
            ++ops;
        }
    };
    size_t i = 0;
    while (i + kBlock <= to.size()) {
        const auto hit = index.find(HashBlock(to.data() + i));
        if (hit == index.end() || std::memcmp(from.data() + hit->second, to.data() + i, kBlock)) {
            ++i;
            continue;
        }
        size_t start = i, source = hit->second;
        while (start > literal_start && source > 0 && from[source - 1] == to[start - 1]) {
            --start;
            --source;
        }
        size_t length = i - start + kBlock;
        while (source + length < from.size() && start + length < to.size() &&
               from[source + length] == to[start + length]) {
            ++length;
        }
        flush_literal(start);
        out.U8(kOpCopy);
        out.U32(static_cast<uint32_t>(source));
        out.U32(static_cast<uint32_t>(length));
        ++ops;
        i = start + length;
        literal_start = i;
    }
    flush_literal(to.size());
    return ops;
}

bool ApplyOps(ByteReader& in, std::string_view input, uint32_t output_size, std::string* output) {
    const uint32_t ops = in.U32();
    if (!in.ok() || ops > in.remaining()) {
        return false;
    }
    output->clear();
    output->reserve(output_size);
    for (uint32_t k = 0; k < ops; ++k) {
        const uint8_t kind = in.U8();
        if (kind == kOpCopy) {
            const uint32_t offset = in.U32();
            const uint32_t length = in.U32();
            if (!in.ok() || offset > input.size() || length > input.size() - offset ||
                length > output_size - output->size()) {
                return false;
            }
            output->append(input.substr(offset, length));
        } else if (kind == kOpInsert) {
            const uint32_t length = in.U32();
            const std::string_view bytes = in.Bytes(length);
            if (!in.ok() || length > output_size - output->size()) {
                return false;
            }
            output->append(bytes);
        } else {
            return false;
        }
    }
    return output->size() == output_size;
}

}  // namespace

bool MakePatch(const DatFiles& from, const DatFiles& to, std::string* patch, std::string* error) {
    DatSet from_set, to_set;
    std::string why;
    if (!DecodeDatSet(from, &from_set, &why)) {
        return Fail(error, "old set: " + why);
    }
    if (!DecodeDatSet(to, &to_set, &why)) {
        return Fail(error, "new set: " + why);
    }
    std::string body;
    ByteWriter out(&body);
    const std::string* inputs[] = {&from.scan, &from.names, &from.clean};
    const std::string* outputs[] = {&to.scan, &to.names, &to.clean};
    for (int f = 0; f < kPatchFileCount; ++f) {
        out.U32(static_cast<uint32_t>(inputs[f]->size()));
        out.U32(Crc32(*inputs[f]));
        out.U32(static_cast<uint32_t>(outputs[f]->size()));
        out.U32(Crc32(*outputs[f]));
        std::string ops;
        ByteWriter ops_out(&ops);
        out.U32(Diff(*inputs[f], *outputs[f], ops_out));
        out.Bytes(ops);
    }
    patch->clear();
    ByteWriter header(patch);
    header.Bytes(std::string_view(kPatchMagic, 4));
    header.U16(kPatchFormatVersion);
    header.U16(kPatchFileCount);
    header.U32(from_set.version);
    header.U32(to_set.version);
    header.U16(to_set.dos_date);
    header.U16(0);
    header.U32(static_cast<uint32_t>(body.size()));
    header.U32(0);
    header.U32(Crc32(body, Crc32(*patch)));
    patch->append(body);
    return true;
}

bool ReadPatchInfo(std::string_view patch, PatchInfo* info, std::string* error) {
    if (patch.size() < kPatchHeaderSize) {
        return Fail(error, "patch: truncated header");
    }
    if (std::memcmp(patch.data(), kPatchMagic, 4) != 0) {
        return Fail(error, "not a patch file");
    }
    ByteReader in(patch.substr(4, kPatchHeaderSize - 4));
    const uint16_t format = in.U16();
    const uint16_t files = in.U16();
    info->from_version = in.U32();
    info->to_version = in.U32();
    info->to_dos_date = in.U16();
    const uint16_t reserved0 = in.U16();
    const uint32_t body_size = in.U32();
    const uint32_t reserved1 = in.U32();
    const uint32_t checksum = in.U32();
    if (format != kPatchFormatVersion || files != kPatchFileCount || reserved0 != 0 ||
        reserved1 != 0) {
        return Fail(error, "patch: unknown format");
    }
    if (body_size != patch.size() - kPatchHeaderSize) {
        return Fail(error, "patch: size does not match its header (truncated or extended)");
    }
    if (Crc32(patch.substr(kPatchHeaderSize), Crc32(patch.substr(0, kChecksumOffset))) !=
        checksum) {
        return Fail(error, "patch: checksum mismatch");
    }
    if (!IsValidDosDate(info->to_dos_date)) {
        return Fail(error, "patch: invalid date");
    }
    return true;
}

bool ApplyPatch(std::string_view patch, DatFiles* files, PatchInfo* info, std::string* error) {
    if (!ReadPatchInfo(patch, info, error)) {
        return false;
    }
    ByteReader in(patch.substr(kPatchHeaderSize));
    std::string* targets[] = {&files->scan, &files->names, &files->clean};
    std::string results[kPatchFileCount];
    for (int f = 0; f < kPatchFileCount; ++f) {
        const std::string name = kDatFileNames[f];
        const uint32_t input_size = in.U32();
        const uint32_t input_crc = in.U32();
        const uint32_t output_size = in.U32();
        const uint32_t output_crc = in.U32();
        if (!in.ok()) {
            return Fail(error, "patch: truncated entry for " + name);
        }
        if (input_size != targets[f]->size() || input_crc != Crc32(*targets[f])) {
            return Fail(error, "patch: " + name + " is not the file this patch starts from");
        }
        if (output_size > kMaxDatFileSize) {
            return Fail(error, "patch: " + name + " too large");
        }
        if (!ApplyOps(in, *targets[f], output_size, &results[f])) {
            return Fail(error, "patch: malformed operations for " + name);
        }
        if (Crc32(results[f]) != output_crc) {
            return Fail(error, "patch: " + name + " does not match its checksum after patching");
        }
    }
    if (in.remaining() != 0) {
        return Fail(error, "patch: bytes after the last entry");
    }
    for (int f = 0; f < kPatchFileCount; ++f) {
        targets[f]->swap(results[f]);
    }
    return true;
}

}  // namespace VexorEngine
