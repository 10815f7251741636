// libFuzzer target for what a caller of the control endpoint can send: the
// PDU parsers and the server stubs' NDR decoding of every procedure.
//
// The first byte chooses: even values parse the rest as a frame; odd values
// decode the rest as the request stub of opnum (byte / 2) % 10 and answer
// it (opnum 9 is out of range and must be refused by the runtime, so it is
// skipped here as the runtime would).
#include <cstddef>
#include <cstdint>
#include <span>

#include "Common/Rpc/NdrCodec.h"
#include "Common/Rpc/RPCServer.h"
#include "Common/Rpc/RpcPdu.h"
#include "rpc/UpdaterControlServer.h"

namespace {

using namespace TesselSoftware;

#define VEXOR_FUZZ_UNNAMED(direction, type, name) , VEXOR_RPC_CTYPE(direction, type)
#define VEXOR_FUZZ_ANSWER(opnum, name, result, access)                                                \
    VEXOR_RPC_RESULT_##result name(const RpcCaller& VEXOR_PARAMS_##name(VEXOR_FUZZ_UNNAMED)) override { \
        return static_cast<VEXOR_RPC_RESULT_##result>(1);                                             \
    }

class Answers final : public UpdaterControl::IUpdaterControl {
public:
    VEXOR_UPDATER_CONTROL(VEXOR_FUZZ_ANSWER)
};

void ParseFrame(std::span<const uint8_t> frame) {
    PduHeader header;
    if (!ParsePduHeader(frame, kMaxFrameBytes, &header)) return;
    BindPdu bind;
    BindAckPdu ack;
    RequestPdu request;
    ResponsePdu response;
    uint32_t status;
    ParseBind(frame, &bind);
    ParseBindAck(frame, &ack);
    ParseRequest(frame, &request);
    ParseResponse(frame, &response);
    ParseFault(frame, &status);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::span<const uint8_t> rest(data + 1, size - 1);
    if (data[0] % 2 == 0) {
        ParseFrame(rest);
        return 0;
    }
    const auto opnum = static_cast<uint16_t>((data[0] / 2) % 10);
    if (opnum >= UpdaterControl::kProcedureCount) return 0;
    static Answers answers;
    static const RpcServerInterface definition = UpdaterControl::ServerInterface(answers);
    NdrReader in(rest);
    NdrWriter out;
    try {
        definition.dispatch(opnum, RpcCaller{}, in, out);
    } catch (const RpcStubException&) {
        // Bad stub data is refused; that is the expected outcome.
    }
    return 0;
}
