// Minisign detached signatures: the format of the trusted publisher's keys
// and of the ".minisig" file beside every file of a signed update source,
// verified (and, for the publisher's tools, made) with libsodium.
//
//   Minisign::PublicKey key;
//   std::string error;
//   if (!Minisign::ParsePublicKey(pub_text, &key, &error)) ...
//   Minisign::Signature signature;
//   if (!Minisign::ParseSignature(minisig_text, &signature, &error)) ...
//   const auto verdict = Minisign::VerifyFile(path, "avvdat-402.zip", signature, {key}, &error);
//
// Both algorithms are accepted: the prehashed "ED" (the file's BLAKE2b-512
// is signed; what minisign 0.11 writes by default) and the legacy "Ed" (the
// file itself is signed). Every text is untrusted input: a malformed,
// truncated or oversized text is refused with a reason, never a crash.
// Functions are safe to call from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace TesselSoftware::Minisign {

// A ".minisig" file is four short lines; anything longer is not one.
inline constexpr size_t kMaxSignatureTextBytes = 4096;
inline constexpr size_t kMaxKeyTextBytes = 4096;

using KeyId = std::array<uint8_t, 8>;

struct PublicKey {
    KeyId key_id{};
    std::array<uint8_t, 32> key{};
};

struct SecretKey {
    KeyId key_id{};
    std::array<uint8_t, 64> key{};  // libsodium's Ed25519 secret key (seed, public key)
};

struct Signature {
    bool prehashed = true;  // "ED" (BLAKE2b-512 of the file) or "Ed" (the file)
    KeyId key_id{};
    std::array<uint8_t, 64> signature{};
    std::string trusted_comment;  // the text after "trusted comment: "
    std::array<uint8_t, 64> global_signature{};
};

// The key id as minisign prints it: 16 upper-case hex digits.
std::string KeyIdText(const KeyId& id);

// Each returns false with *error saying why when text is not one.
bool ParsePublicKey(std::string_view text, PublicKey* key, std::string* error);
bool ParseSignature(std::string_view text, Signature* signature, std::string* error);
// An unencrypted secret key, as "minisign -G -W" writes it.
bool ParseSecretKey(std::string_view text, SecretKey* key, std::string* error);

// What a trusted comment may carry after "file:NAME": when the file was
// signed and until when it may be used, as tab-separated fields
//   file:avvdat.ini<TAB>timestamp:1796083200<TAB>expires:1796688000
// (seconds since 1970 UTC; "timestamp:" as minisign itself names the
// signing time). Either field may be missing; no other field is allowed.
struct SignedTimes {
    int64_t signed_at = 0;   // 0: not given
    int64_t expires_at = 0;  // 0: not given
};

// The trusted comment for file_name with times (fields of 0 left out).
std::string TrustedComment(const std::string& file_name, const SignedTimes& times);
// Splits a trusted comment into its file name and times; false when it is
// not "file:NAME" with known fields after it.
bool ParseTrustedComment(std::string_view comment, std::string* file_name, SignedTimes* times);

enum class Verdict {
    kValid,
    kUntrustedKey,    // made by a key none of the trusted keys is
    kMismatch,        // the file is not what was signed
    kOtherFile,       // the trusted comment names another file (or is not one of ours)
    kBadComment,      // the global signature over the trusted comment fails
    kUnreadable,      // the file could not be read
};

// Checks, in this order: the key id against keys, the file's signature, the
// trusted comment ("file:" + file_name, with SignedTimes fields or none),
// and the global signature over signature and trusted comment. *reason is
// set on every verdict but kValid; with kValid, *times (may be nullptr)
// holds the comment's times.
Verdict VerifyFile(const std::string& path, const std::string& file_name, const Signature& signature,
                   const std::vector<PublicKey>& keys, std::string* reason, SignedTimes* times = nullptr);

// For the publisher: a new key pair as text ("minisign -G -W" format), and
// a prehashed signature of the file at path with trusted comment
// TrustedComment(file_name, times). False with *error on failure.
bool GenerateKeyPair(std::string* public_text, std::string* secret_text, std::string* error);
bool SignFile(const std::string& path, const std::string& file_name, const SecretKey& key,
              std::string* signature_text, std::string* error, const SignedTimes& times = {});

}  // namespace TesselSoftware::Minisign
