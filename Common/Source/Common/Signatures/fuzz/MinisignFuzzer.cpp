// libFuzzer target: the ".minisig" and key parsers take any bytes an update
// source or an administrator's folder holds, and never crash.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Common/Signatures/Minisign.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    TesselSoftware::Minisign::Signature signature;
    TesselSoftware::Minisign::ParseSignature(text, &signature, &error);
    TesselSoftware::Minisign::PublicKey key;
    TesselSoftware::Minisign::ParsePublicKey(text, &key, &error);
    TesselSoftware::Minisign::SecretKey secret;
    TesselSoftware::Minisign::ParseSecretKey(text, &secret, &error);
    return 0;
}
