#include "Common/Rpc/RpcPdu.h"

#include <algorithm>
#include <cstring>

#include "Common/Errors/Win32Error.h"

namespace TesselSoftware {

namespace {

constexpr size_t kRequestHeaderSize = 24;
constexpr size_t kSyntaxSize = 20;

// Little-endian field access within a frame; every read is bounds-checked by
// the parsers before it is made.
template <typename T>
T Get(std::span<const uint8_t> bytes, size_t offset) {
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

class FrameBuilder {
public:
    FrameBuilder(PduType type, uint8_t flags, uint32_t call_id) {
        const uint8_t fixed[] = {5, 0, static_cast<uint8_t>(type), flags, 0x10, 0, 0, 0};
        bytes_.assign(fixed, fixed + sizeof(fixed));
        Put<uint16_t>(0);  // frag_length, patched by Finish
        Put<uint16_t>(0);  // auth_length
        Put<uint32_t>(call_id);
    }
    template <typename T>
    void Put(T value) {
        const auto* begin = reinterpret_cast<const uint8_t*>(&value);
        bytes_.insert(bytes_.end(), begin, begin + sizeof(T));
    }
    void PutBytes(std::span<const uint8_t> data) { bytes_.insert(bytes_.end(), data.begin(), data.end()); }
    void PutSyntax(const SyntaxId& syntax) {
        PutBytes(syntax.uuid);
        Put<uint16_t>(syntax.major);
        Put<uint16_t>(syntax.minor);
    }
    void AlignTo(size_t alignment) { bytes_.resize((bytes_.size() + alignment - 1) / alignment * alignment, 0); }
    std::vector<uint8_t> Finish() {
        const auto length = static_cast<uint16_t>(bytes_.size());
        std::memcpy(bytes_.data() + 8, &length, 2);
        return std::move(bytes_);
    }

private:
    std::vector<uint8_t> bytes_;
};

SyntaxId GetSyntax(std::span<const uint8_t> bytes, size_t offset) {
    SyntaxId syntax;
    std::memcpy(syntax.uuid.data(), bytes.data() + offset, 16);
    syntax.major = Get<uint16_t>(bytes, offset + 16);
    syntax.minor = Get<uint16_t>(bytes, offset + 18);
    return syntax;
}

// The frame's own header, checked against the frame's size and type.
bool FrameHeader(std::span<const uint8_t> frame, PduType type, PduHeader* header) {
    return ParsePduHeader(frame, frame.size(), header) && header->frag_length == frame.size() &&
           header->type == type && header->auth_length == 0;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseBindBody(std::span<const uint8_t> frame, PduType type, BindPdu* bind) {
    PduHeader header;
    if (!FrameHeader(frame, type, &header) || frame.size() < kPduHeaderSize + 12) return false;
    bind->max_xmit_frag = Get<uint16_t>(frame, 16);
    bind->max_recv_frag = Get<uint16_t>(frame, 18);
    bind->assoc_group_id = Get<uint32_t>(frame, 20);
    const uint8_t count = frame[24];
    bind->contexts.clear();
    size_t offset = 28;
    for (uint8_t i = 0; i < count; ++i) {
        if (frame.size() < offset + 4 + kSyntaxSize) return false;
        PresentationContext context;
        context.context_id = Get<uint16_t>(frame, offset);
        const uint8_t transfers = frame[offset + 2];
        context.abstract_syntax = GetSyntax(frame, offset + 4);
        offset += 4 + kSyntaxSize;
        if (transfers == 0 || frame.size() < offset + transfers * kSyntaxSize) return false;
        for (uint8_t t = 0; t < transfers; ++t) {
            context.transfer_syntaxes.push_back(GetSyntax(frame, offset));
            offset += kSyntaxSize;
        }
        bind->contexts.push_back(std::move(context));
    }
    return !bind->contexts.empty();
}

std::vector<std::vector<uint8_t>> BuildFragments(PduType type, uint32_t call_id, uint16_t context_id,
                                                 uint16_t opnum, std::span<const uint8_t> stub,
                                                 uint16_t max_fragment) {
    const size_t room = std::max<size_t>(8, (std::max<size_t>(max_fragment, kMinFragment) - kRequestHeaderSize) / 8 * 8);
    std::vector<std::vector<uint8_t>> fragments;
    size_t offset = 0;
    do {
        const size_t size = std::min(room, stub.size() - offset);
        uint8_t flags = 0;
        if (offset == 0) flags |= kPfcFirstFrag;
        if (offset + size == stub.size()) flags |= kPfcLastFrag;
        FrameBuilder frame(type, flags, call_id);
        frame.Put<uint32_t>(static_cast<uint32_t>(stub.size() - offset));  // alloc_hint
        frame.Put<uint16_t>(context_id);
        if (type == PduType::kRequest) {
            frame.Put<uint16_t>(opnum);
        } else {
            frame.Put<uint8_t>(0);  // cancel count
            frame.Put<uint8_t>(0);
        }
        frame.PutBytes(stub.subspan(offset, size));
        fragments.push_back(frame.Finish());
        offset += size;
    } while (offset < stub.size());
    return fragments;
}

}  // namespace

std::optional<std::array<uint8_t, 16>> ParseUuid(std::string_view text) {
    // Field widths in hex digits and whether the field is little-endian.
    static constexpr struct { int digits; bool swap; } kFields[] = {
        {8, true}, {4, true}, {4, true}, {4, false}, {12, false}};
    std::array<uint8_t, 16> uuid{};
    size_t pos = 0;
    size_t out = 0;
    for (size_t f = 0; f < std::size(kFields); ++f) {
        if (f > 0 && (pos >= text.size() || text[pos++] != '-')) return std::nullopt;
        const int bytes = kFields[f].digits / 2;
        for (int b = 0; b < bytes; ++b) {
            if (pos + 2 > text.size()) return std::nullopt;
            const int high = HexValue(text[pos]);
            const int low = HexValue(text[pos + 1]);
            if (high < 0 || low < 0) return std::nullopt;
            const size_t index = kFields[f].swap ? out + bytes - 1 - b : out + b;
            uuid[index] = static_cast<uint8_t>(high * 16 + low);
            pos += 2;
        }
        out += bytes;
    }
    if (pos != text.size()) return std::nullopt;
    return uuid;
}

const SyntaxId& NdrTransferSyntax() {
    static const SyntaxId syntax{*ParseUuid("8a885d04-1ceb-11c9-9fe8-08002b104860"), 2, 0};
    return syntax;
}

bool ParsePduHeader(std::span<const uint8_t> bytes, size_t max_frame, PduHeader* header) {
    if (bytes.size() < kPduHeaderSize) return false;
    // Version 5.0; drep: little-endian integers, ASCII, IEEE floating point.
    if (bytes[0] != 5 || bytes[1] != 0 || bytes[4] != 0x10 || bytes[5] != 0) return false;
    header->type = static_cast<PduType>(bytes[2]);
    header->flags = bytes[3];
    header->frag_length = Get<uint16_t>(bytes, 8);
    header->auth_length = Get<uint16_t>(bytes, 10);
    header->call_id = Get<uint32_t>(bytes, 12);
    return header->frag_length >= kPduHeaderSize && header->frag_length <= max_frame;
}

bool ParseBind(std::span<const uint8_t> frame, BindPdu* bind) {
    PduHeader header;
    if (!ParsePduHeader(frame, frame.size(), &header)) return false;
    if (header.type != PduType::kBind && header.type != PduType::kAlterContext) return false;
    return ParseBindBody(frame, header.type, bind);
}

bool ParseBindAck(std::span<const uint8_t> frame, BindAckPdu* ack) {
    PduHeader header;
    if (!ParsePduHeader(frame, frame.size(), &header) || header.frag_length != frame.size()) return false;
    if (header.type != PduType::kBindAck && header.type != PduType::kAlterContextResp) return false;
    if (frame.size() < 26) return false;
    ack->max_xmit_frag = Get<uint16_t>(frame, 16);
    ack->max_recv_frag = Get<uint16_t>(frame, 18);
    ack->assoc_group_id = Get<uint32_t>(frame, 20);
    size_t offset = 26 + Get<uint16_t>(frame, 24);
    offset = (offset + 3) / 4 * 4;
    if (frame.size() < offset + 4) return false;
    const uint8_t count = frame[offset];
    offset += 4;
    if (frame.size() < offset + size_t{count} * (4 + kSyntaxSize)) return false;
    ack->results.clear();
    for (uint8_t i = 0; i < count; ++i) {
        ack->results.push_back({Get<uint16_t>(frame, offset), Get<uint16_t>(frame, offset + 2),
                                GetSyntax(frame, offset + 4)});
        offset += 4 + kSyntaxSize;
    }
    return true;
}

bool ParseRequest(std::span<const uint8_t> frame, RequestPdu* request) {
    if (!FrameHeader(frame, PduType::kRequest, &request->header)) return false;
    size_t stub_offset = kRequestHeaderSize;
    if (request->header.flags & kPfcObjectUuid) stub_offset += 16;
    if (frame.size() < stub_offset) return false;
    request->context_id = Get<uint16_t>(frame, 20);
    request->opnum = Get<uint16_t>(frame, 22);
    request->stub = frame.subspan(stub_offset);
    return true;
}

bool ParseResponse(std::span<const uint8_t> frame, ResponsePdu* response) {
    if (!FrameHeader(frame, PduType::kResponse, &response->header)) return false;
    if (frame.size() < kRequestHeaderSize) return false;
    response->stub = frame.subspan(kRequestHeaderSize);
    return true;
}

bool ParseFault(std::span<const uint8_t> frame, uint32_t* status) {
    PduHeader header;
    if (!FrameHeader(frame, PduType::kFault, &header) || frame.size() < 28) return false;
    *status = Get<uint32_t>(frame, 24);
    return true;
}

std::vector<uint8_t> BuildBind(PduType type, uint32_t call_id, const BindPdu& bind) {
    FrameBuilder frame(type, kPfcFirstFrag | kPfcLastFrag, call_id);
    frame.Put<uint16_t>(bind.max_xmit_frag);
    frame.Put<uint16_t>(bind.max_recv_frag);
    frame.Put<uint32_t>(bind.assoc_group_id);
    frame.Put<uint8_t>(static_cast<uint8_t>(bind.contexts.size()));
    frame.Put<uint8_t>(0);
    frame.Put<uint16_t>(0);
    for (const PresentationContext& context : bind.contexts) {
        frame.Put<uint16_t>(context.context_id);
        frame.Put<uint8_t>(static_cast<uint8_t>(context.transfer_syntaxes.size()));
        frame.Put<uint8_t>(0);
        frame.PutSyntax(context.abstract_syntax);
        for (const SyntaxId& transfer : context.transfer_syntaxes) frame.PutSyntax(transfer);
    }
    return frame.Finish();
}

std::vector<uint8_t> BuildBindAck(PduType type, uint32_t call_id, const BindAckPdu& ack) {
    static constexpr char kSecondaryAddress[] = "VexorRpc";
    FrameBuilder frame(type, kPfcFirstFrag | kPfcLastFrag, call_id);
    frame.Put<uint16_t>(ack.max_xmit_frag);
    frame.Put<uint16_t>(ack.max_recv_frag);
    frame.Put<uint32_t>(ack.assoc_group_id);
    frame.Put<uint16_t>(sizeof(kSecondaryAddress));
    frame.PutBytes({reinterpret_cast<const uint8_t*>(kSecondaryAddress), sizeof(kSecondaryAddress)});
    frame.AlignTo(4);
    frame.Put<uint8_t>(static_cast<uint8_t>(ack.results.size()));
    frame.Put<uint8_t>(0);
    frame.Put<uint16_t>(0);
    for (const ContextResult& result : ack.results) {
        frame.Put<uint16_t>(result.result);
        frame.Put<uint16_t>(result.reason);
        frame.PutSyntax(result.transfer_syntax);
    }
    return frame.Finish();
}

std::vector<uint8_t> BuildBindNak(uint32_t call_id, uint16_t reason) {
    FrameBuilder frame(PduType::kBindNak, kPfcFirstFrag | kPfcLastFrag, call_id);
    frame.Put<uint16_t>(reason);
    frame.Put<uint8_t>(1);  // one supported protocol version: 5.0
    frame.Put<uint8_t>(5);
    frame.Put<uint8_t>(0);
    return frame.Finish();
}

std::vector<uint8_t> BuildFault(uint32_t call_id, uint16_t context_id, uint32_t status) {
    FrameBuilder frame(PduType::kFault, kPfcFirstFrag | kPfcLastFrag, call_id);
    frame.Put<uint32_t>(0);  // alloc_hint
    frame.Put<uint16_t>(context_id);
    frame.Put<uint8_t>(0);   // cancel count
    frame.Put<uint8_t>(0);
    frame.Put<uint32_t>(status);
    frame.Put<uint32_t>(0);
    return frame.Finish();
}

std::vector<std::vector<uint8_t>> BuildRequestFragments(uint32_t call_id, uint16_t context_id,
                                                        uint16_t opnum, std::span<const uint8_t> stub,
                                                        uint16_t max_fragment) {
    return BuildFragments(PduType::kRequest, call_id, context_id, opnum, stub, max_fragment);
}

std::vector<std::vector<uint8_t>> BuildResponseFragments(uint32_t call_id, uint16_t context_id,
                                                         std::span<const uint8_t> stub,
                                                         uint16_t max_fragment) {
    return BuildFragments(PduType::kResponse, call_id, context_id, 0, stub, max_fragment);
}

uint32_t FaultStatusToError(uint32_t status) {
    switch (status) {
        case kNcaOpRangeError: return Win32::kProcNumOutOfRange;
        case kNcaUnknownInterface: return Win32::kUnknownInterface;
        case kNcaProtocolError: return Win32::kRpcProtocolError;
        default: return status <= 0xFFFF ? status : Win32::kCallFailed;
    }
}

uint32_t ErrorToFaultStatus(uint32_t error) {
    switch (error) {
        case Win32::kProcNumOutOfRange: return kNcaOpRangeError;
        case Win32::kUnknownInterface: return kNcaUnknownInterface;
        case Win32::kRpcProtocolError: return kNcaProtocolError;
        default: return error;
    }
}

}  // namespace TesselSoftware
