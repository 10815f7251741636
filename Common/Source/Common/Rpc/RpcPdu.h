// The connection-oriented DCE RPC protocol data units the local RPC runtime
// exchanges (little-endian data representation, no authentication): bind,
// bind_ack, bind_nak, alter_context(_resp), request, response and fault.
//
// Building never fails. Parsing checks every length against the frame and
// returns false for a malformed unit; nothing is allocated from counts the
// peer sent beyond what the frame holds.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace TesselSoftware {

enum class PduType : uint8_t {
    kRequest = 0,
    kResponse = 2,
    kFault = 3,
    kBind = 11,
    kBindAck = 12,
    kBindNak = 13,
    kAlterContext = 14,
    kAlterContextResp = 15,
    kShutdown = 17,
    kCancel = 18,
    kOrphaned = 19,
};

inline constexpr uint8_t kPfcFirstFrag = 0x01;
inline constexpr uint8_t kPfcLastFrag = 0x02;
inline constexpr uint8_t kPfcObjectUuid = 0x80;

inline constexpr size_t kPduHeaderSize = 16;
// Largest frame either side accepts.
inline constexpr size_t kMaxFrameBytes = 1 << 20;
// Fragment size this runtime offers in a bind.
inline constexpr uint16_t kDefaultMaxFragment = 5840;
// Smallest fragment size that still carries a request header and a byte.
inline constexpr uint16_t kMinFragment = 64;

// Fault statuses on the wire.
inline constexpr uint32_t kNcaOpRangeError = 0x1C010002;   // 1745 in the client
inline constexpr uint32_t kNcaUnknownInterface = 0x1C010003;  // 1717
inline constexpr uint32_t kNcaProtocolError = 0x1C01000B;  // 1728

struct SyntaxId {
    std::array<uint8_t, 16> uuid{};  // wire order (first three fields little-endian)
    uint16_t major = 0;
    uint16_t minor = 0;
    bool operator==(const SyntaxId&) const = default;
};

// Parses "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"; nullopt when malformed.
std::optional<std::array<uint8_t, 16>> ParseUuid(std::string_view text);
// The NDR 2.0 transfer syntax.
const SyntaxId& NdrTransferSyntax();

struct PduHeader {
    PduType type = PduType::kRequest;
    uint8_t flags = 0;
    uint16_t frag_length = 0;
    uint16_t auth_length = 0;
    uint32_t call_id = 0;
};

// Checks the fixed part: version 5.0, little-endian integers, ASCII
// characters, IEEE floats, frag_length within 16..max_frame. False otherwise.
bool ParsePduHeader(std::span<const uint8_t> bytes, size_t max_frame, PduHeader* header);

struct PresentationContext {
    uint16_t context_id = 0;
    SyntaxId abstract_syntax;
    std::vector<SyntaxId> transfer_syntaxes;
};

struct BindPdu {
    uint16_t max_xmit_frag = 0;
    uint16_t max_recv_frag = 0;
    uint32_t assoc_group_id = 0;
    std::vector<PresentationContext> contexts;
};

// Result of one presentation context in a bind_ack.
struct ContextResult {
    uint16_t result = 0;  // 0 acceptance, 2 provider rejection
    uint16_t reason = 0;  // 1 abstract syntax, 2 transfer syntaxes not supported
    SyntaxId transfer_syntax;
};

struct BindAckPdu {
    uint16_t max_xmit_frag = 0;
    uint16_t max_recv_frag = 0;
    uint32_t assoc_group_id = 0;
    std::vector<ContextResult> results;
};

struct RequestPdu {
    PduHeader header;
    uint16_t context_id = 0;
    uint16_t opnum = 0;
    std::span<const uint8_t> stub;
};

struct ResponsePdu {
    PduHeader header;
    std::span<const uint8_t> stub;
};

// The whole frame (header included) goes in each parser.
bool ParseBind(std::span<const uint8_t> frame, BindPdu* bind);
bool ParseBindAck(std::span<const uint8_t> frame, BindAckPdu* ack);
bool ParseRequest(std::span<const uint8_t> frame, RequestPdu* request);
bool ParseResponse(std::span<const uint8_t> frame, ResponsePdu* response);
bool ParseFault(std::span<const uint8_t> frame, uint32_t* status);

std::vector<uint8_t> BuildBind(PduType type, uint32_t call_id, const BindPdu& bind);
std::vector<uint8_t> BuildBindAck(PduType type, uint32_t call_id, const BindAckPdu& ack);
std::vector<uint8_t> BuildBindNak(uint32_t call_id, uint16_t reason);
std::vector<uint8_t> BuildFault(uint32_t call_id, uint16_t context_id, uint32_t status);
// The stub cut into request or response fragments of at most max_fragment
// bytes each, flagged first and last.
std::vector<std::vector<uint8_t>> BuildRequestFragments(uint32_t call_id, uint16_t context_id,
                                                        uint16_t opnum,
                                                        std::span<const uint8_t> stub,
                                                        uint16_t max_fragment);
std::vector<std::vector<uint8_t>> BuildResponseFragments(uint32_t call_id, uint16_t context_id,
                                                         std::span<const uint8_t> stub,
                                                         uint16_t max_fragment);

// The platform error number a client reports for a fault status.
uint32_t FaultStatusToError(uint32_t status);
// The fault status the server sends for an error number.
uint32_t ErrorToFaultStatus(uint32_t error);

}  // namespace TesselSoftware
