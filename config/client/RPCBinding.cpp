#include "client/RPCBinding.h"

#include <cstdio>

#include "Common/Errors/ErrorText.h"
#include "Common/Errors/Win32Error.h"
#include "rpc/UpdaterControl.h"

namespace TesselSoftware::RPCClient {

namespace {

std::string StatusText(const char* format, uint32_t status) {
    char text[512];
    std::snprintf(text, sizeof text, format, status, FormatErrorText(status, kErrorTextAuto).c_str());
    return text;
}

// The endpoint of "ncalrpc:[endpoint]" (the only form the tool composes),
// or "" when the text is not of that form or names no usable endpoint.
std::string EndpointOf(const std::string& binding) {
    static constexpr char kPrefix[] = "ncalrpc:[";
    if (binding.rfind(kPrefix, 0) != 0 || binding.back() != ']') return "";
    std::string endpoint = binding.substr(sizeof(kPrefix) - 1, binding.size() - sizeof(kPrefix));
    if (endpoint.find_first_of("/[]") != std::string::npos || endpoint == "." || endpoint == "..") return "";
    return endpoint;
}

}  // namespace

CRPCBinding::~CRPCBinding() {
    // The destroying thread's kept pError goes with the binding.
    threads_.EraseCurrent();
}

bool CRPCBinding::CreateBinding(const std::string& endpoint) {
    if (endpoint.empty() || endpoint.find_first_of("[]") != std::string::npos) {
        last_status_ = Win32::kInvalidEndpointFormat;
        SetLastErrorText(StatusText("RpcStringBindingCompose returned 0x%x - %s", last_status_));
        return false;
    }
    const std::string composed = "ncalrpc:[" + endpoint + "]";
    binding_.reset();
    const std::string parsed = EndpointOf(composed);
    if (parsed.empty()) {
        last_status_ = Win32::kInvalidEndpointFormat;
        SetLastErrorText(StatusText("RpcBindingFromStringBinding returned 0x%x - %s", last_status_));
        return false;
    }
    binding_ = std::make_unique<RpcClientConnection>(RpcEndpointPath(parsed), UpdaterControl::InterfaceSyntax());
    binding_->SetCallTimeout(call_timeout_ms_);
    last_status_ = 0;
    string_binding_ = composed;
    return true;
}

std::string CRPCBinding::GetLastErrorText() { return ThreadVariables().last_error; }

}  // namespace TesselSoftware::RPCClient
