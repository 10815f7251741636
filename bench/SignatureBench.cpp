// Signature verification of an update archive (as a signed pass checks each
// download) against coreutils' b2sum of the same file: BLAKE2b dominates
// both, so the check should cost little more. Prints seconds and the ratio
// (goal: at most 1.2).
//
//   vexor_bench_signatures [SIZE_MB]     (default 63)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchFiles.h"
#include "Common/Signatures/Minisign.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

}  // namespace

int main(int argc, char** argv) {
    namespace Minisign = TesselSoftware::Minisign;
    const long size_mb = argc > 1 ? std::atol(argv[1]) : 63;
    const std::string file = TesselSoftware::Bench::WriteCachedFile("vexor-signature-bench", size_mb);
    if (file.empty()) return 1;
    const char* const path = file.c_str();

    std::string public_text, secret_text, signature_text, error;
    Minisign::PublicKey public_key;
    Minisign::SecretKey secret_key;
    Minisign::Signature signature;
    if (!Minisign::GenerateKeyPair(&public_text, &secret_text, &error) ||
        !Minisign::ParsePublicKey(public_text, &public_key, &error) ||
        !Minisign::ParseSecretKey(secret_text, &secret_key, &error) ||
        !Minisign::SignFile(path, "archive.zip", secret_key, &signature_text, &error) ||
        !Minisign::ParseSignature(signature_text, &signature, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }

    double b2sum_seconds = 1e9, ours_seconds = 1e9;
    bool valid = true;
    for (int round = 0; round < 3; ++round) {  // the best of three of each
        auto start = Clock::now();
        if (std::system((std::string("b2sum ") + path + " > /dev/null").c_str()) != 0) return 1;
        b2sum_seconds = std::min(b2sum_seconds, Seconds(start));
        start = Clock::now();
        std::string reason;
        valid &= Minisign::VerifyFile(path, "archive.zip", signature, {public_key}, &reason) == Minisign::Verdict::kValid;
        ours_seconds = std::min(ours_seconds, Seconds(start));
    }
    std::printf("file: %ld MB\n", size_mb);
    std::printf("b2sum:            %8.1f MB/s (%.3f s)\n", size_mb / b2sum_seconds, b2sum_seconds);
    std::printf("signature check:  %8.1f MB/s (%.3f s)%s\n", size_mb / ours_seconds, ours_seconds,
                valid ? "" : "  NOT VALID");
    std::printf("ratio (ours / b2sum): %.2f (goal <= 1.20)\n", ours_seconds / b2sum_seconds);
    ::unlink(path);
    return valid ? 0 : 1;
}
