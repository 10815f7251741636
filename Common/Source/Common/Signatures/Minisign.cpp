#include "Common/Signatures/Minisign.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sodium.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace TesselSoftware::Minisign {

namespace {

constexpr char kUntrusted[] = "untrusted comment: ";
constexpr char kTrusted[] = "trusted comment: ";
constexpr size_t kPublicKeyBytes = 2 + 8 + 32;
constexpr size_t kSignatureBytes = 2 + 8 + 64;
constexpr size_t kSecretKeyBytes = 2 + 2 + 2 + 32 + 8 + 8 + 8 + 64 + 32;

bool SodiumReady() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// The text's lines without their "\r\n" or "\n"; an empty last line (the
// text's final line break) is dropped.
std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

// Base64 of exactly size bytes into out.
bool DecodeExactly(std::string_view text, uint8_t* out, size_t size) {
    if (text.empty() || text.size() > 4 * (size / 3 + 1)) return false;
    size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(out, size, text.data(), text.size(), nullptr, &length, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0) {
        return false;
    }
    return length == size && end == text.data() + text.size();
}

std::string Encode(const uint8_t* bytes, size_t size) {
    std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
    text.resize(std::strlen(text.c_str()));
    return text;
}

bool Fail(std::string* error, const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
}

// The first line must be the untrusted comment; returns the lines.
// A public key, as minisign reads one, is its first two lines: a comment
// or a blank line added after them does not make the file another key.
bool SplitKeyText(std::string_view text, size_t max_bytes, size_t want_lines, std::vector<std::string_view>* lines,
                  std::string* error, bool more_lines_ok = false) {
    if (text.size() > max_bytes) return Fail(error, "it is larger than " + std::to_string(max_bytes) + " bytes");
    *lines = Lines(text);
    if (more_lines_ok && lines->size() > want_lines) lines->resize(want_lines);
    if (lines->size() != want_lines) return Fail(error, "it does not have " + std::to_string(want_lines) + " lines");
    if ((*lines)[0].rfind(kUntrusted, 0) != 0) return Fail(error, "its first line is not an untrusted comment");
    return true;
}

// The secret key's checksum: BLAKE2b-256 of its algorithm, key id and key,
// from the key's decoded bytes.
void SecretKeyChecksum(const uint8_t* bytes, uint8_t (&check)[32]) {
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, sizeof check);
    crypto_generichash_update(&state, bytes, 2);
    crypto_generichash_update(&state, bytes + 54, 8 + 64);
    crypto_generichash_final(&state, check, sizeof check);
}

// BLAKE2b-512 of the file at path, read in blocks. The file's hash is the
// whole cost of a check, so it runs through libcrypto's BLAKE2b, which is
// about twice as fast here as libsodium's; the result is the same function.
bool HashFile(const std::string& path, uint8_t (&hash)[crypto_generichash_BYTES_MAX]) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    bool ok = context != nullptr && EVP_DigestInit_ex(context.get(), EVP_blake2b512(), nullptr) == 1;
    static thread_local std::vector<unsigned char> block(1 << 20);
    while (ok) {
        const ssize_t got = ::read(fd, block.data(), block.size());
        if (got == 0) break;
        if (got < 0) {
            ok = errno == EINTR;
            continue;
        }
        ok = EVP_DigestUpdate(context.get(), block.data(), static_cast<size_t>(got)) == 1;
    }
    ::close(fd);
    unsigned int length = 0;
    return ok && EVP_DigestFinal_ex(context.get(), hash, &length) == 1 && length == sizeof hash;
}

// The legacy algorithm signs the file itself: it is mapped, not copied.
int VerifyWholeFile(const std::string& path, const Signature& signature, const PublicKey& key) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        ::close(fd);
        return -1;
    }
    const size_t size = static_cast<size_t>(info.st_size);
    void* data = size == 0 ? nullptr : ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (size != 0 && data == MAP_FAILED) return -1;
    static const unsigned char kEmpty = 0;
    const int rc = crypto_sign_verify_detached(signature.signature.data(),
                                               data != nullptr ? static_cast<const unsigned char*>(data) : &kEmpty,
                                               size, key.key.data());
    if (data != nullptr) ::munmap(data, size);
    return rc == 0 ? 1 : 0;
}

}  // namespace

std::string KeyIdText(const KeyId& id) {
    char text[17];
    for (int i = 0; i < 8; ++i) std::snprintf(text + 2 * i, 3, "%02X", id[7 - i]);
    return text;
}

bool ParsePublicKey(std::string_view text, PublicKey* key, std::string* error) {
    if (!SodiumReady()) return Fail(error, "the signature library cannot start");
    std::vector<std::string_view> lines;
    if (!SplitKeyText(text, kMaxKeyTextBytes, 2, &lines, error, true)) return false;
    uint8_t bytes[kPublicKeyBytes];
    if (!DecodeExactly(lines[1], bytes, sizeof bytes)) return Fail(error, "its key line is not a minisign public key");
    if (bytes[0] != 'E' || bytes[1] != 'd') return Fail(error, "it is not an Ed25519 key");
    std::memcpy(key->key_id.data(), bytes + 2, 8);
    std::memcpy(key->key.data(), bytes + 10, 32);
    return true;
}

bool ParseSignature(std::string_view text, Signature* signature, std::string* error) {
    if (!SodiumReady()) return Fail(error, "the signature library cannot start");
    std::vector<std::string_view> lines;
    if (!SplitKeyText(text, kMaxSignatureTextBytes, 4, &lines, error)) return false;
    uint8_t bytes[kSignatureBytes];
    if (!DecodeExactly(lines[1], bytes, sizeof bytes)) return Fail(error, "its signature line is malformed");
    if (bytes[0] != 'E' || (bytes[1] != 'D' && bytes[1] != 'd')) return Fail(error, "its algorithm is unknown");
    if (lines[2].rfind(kTrusted, 0) != 0) return Fail(error, "its third line is not a trusted comment");
    if (!DecodeExactly(lines[3], signature->global_signature.data(), 64)) {
        return Fail(error, "its global signature line is malformed");
    }
    signature->prehashed = bytes[1] == 'D';
    std::memcpy(signature->key_id.data(), bytes + 2, 8);
    std::memcpy(signature->signature.data(), bytes + 10, 64);
    signature->trusted_comment = std::string(lines[2].substr(std::strlen(kTrusted)));
    return true;
}

bool ParseSecretKey(std::string_view text, SecretKey* key, std::string* error) {
    if (!SodiumReady()) return Fail(error, "the signature library cannot start");
    std::vector<std::string_view> lines;
    if (!SplitKeyText(text, kMaxKeyTextBytes, 2, &lines, error)) return false;
    std::vector<uint8_t> bytes(kSecretKeyBytes);
    const bool decoded = DecodeExactly(lines[1], bytes.data(), bytes.size());
    if (!decoded) return Fail(error, "its key line is not a minisign secret key");
    if (bytes[0] != 'E' || bytes[1] != 'd' || bytes[4] != 'B' || bytes[5] != '2') {
        return Fail(error, "it is not an Ed25519 secret key");
    }
    if (bytes[2] != 0 || bytes[3] != 0) return Fail(error, "it is encrypted (write it with minisign -G -W)");
    std::memcpy(key->key_id.data(), bytes.data() + 54, 8);
    std::memcpy(key->key.data(), bytes.data() + 62, 64);
    // The checksum over algorithm, key id and key; minisign leaves it zero
    // for an unencrypted key.
    const uint8_t* stored = bytes.data() + 126;
    const bool zero = std::all_of(stored, stored + 32, [](uint8_t b) { return b == 0; });
    if (!zero) {
        uint8_t check[32];
        SecretKeyChecksum(bytes.data(), check);
        if (std::memcmp(check, stored, sizeof check) != 0) return Fail(error, "its checksum does not match");
    }
    sodium_memzero(bytes.data(), bytes.size());
    return true;
}

namespace {

// The check of signature against one key.
Verdict VerifyWithKey(const std::string& path, const std::string& file_name, const Signature& signature,
                      const PublicKey& key, std::string* reason, SignedTimes* times) {
    if (signature.prehashed) {
        uint8_t hash[crypto_generichash_BYTES_MAX];
        if (!HashFile(path, hash)) {
            *reason = "cannot be checked: the file cannot be read";
            return Verdict::kUnreadable;
        }
        if (crypto_sign_verify_detached(signature.signature.data(), hash, sizeof hash, key.key.data()) != 0) {
            *reason = "does not match";
            return Verdict::kMismatch;
        }
    } else {
        const int verified = VerifyWholeFile(path, signature, key);
        if (verified < 0) {
            *reason = "cannot be checked: the file cannot be read";
            return Verdict::kUnreadable;
        }
        if (verified == 0) {
            *reason = "does not match";
            return Verdict::kMismatch;
        }
    }
    std::string signed_name;
    if (!ParseTrustedComment(signature.trusted_comment, &signed_name, times) || signed_name != file_name) {
        *reason = "names another file";
        return Verdict::kOtherFile;
    }
    std::vector<uint8_t> global(signature.signature.begin(), signature.signature.end());
    global.insert(global.end(), signature.trusted_comment.begin(), signature.trusted_comment.end());
    if (crypto_sign_verify_detached(signature.global_signature.data(), global.data(), global.size(),
                                    key.key.data()) != 0) {
        *reason = "has a trusted comment that was changed";
        return Verdict::kBadComment;
    }
    return Verdict::kValid;
}

}  // namespace

std::string TrustedComment(const std::string& file_name, const SignedTimes& times) {
    std::string comment = "file:" + file_name;
    if (times.signed_at != 0) comment += "\ttimestamp:" + std::to_string(times.signed_at);
    if (times.expires_at != 0) comment += "\texpires:" + std::to_string(times.expires_at);
    return comment;
}

bool ParseTrustedComment(std::string_view comment, std::string* file_name, SignedTimes* times) {
    constexpr std::string_view kFile = "file:";
    if (comment.substr(0, kFile.size()) != kFile) return false;
    const size_t end = comment.find('\t');
    *file_name = std::string(comment.substr(kFile.size(), end == std::string_view::npos ? end : end - kFile.size()));
    *times = {};
    for (size_t at = end; at != std::string_view::npos;) {
        const size_t next = comment.find('\t', at + 1);
        const std::string_view field = comment.substr(at + 1, next == std::string_view::npos ? next : next - at - 1);
        at = next;
        const size_t colon = field.find(':');
        if (colon == std::string_view::npos) return false;
        const std::string_view key = field.substr(0, colon), digits = field.substr(colon + 1);
        int64_t* slot = key == "timestamp" ? &times->signed_at : key == "expires" ? &times->expires_at : nullptr;
        // Each field once, a positive decimal of at most 12 digits.
        if (slot == nullptr || *slot != 0 || digits.empty() || digits.size() > 12 ||
            digits.find_first_not_of("0123456789") != std::string_view::npos) {
            return false;
        }
        *slot = std::stoll(std::string(digits));
        if (*slot == 0) return false;
    }
    return true;
}

Verdict VerifyFile(const std::string& path, const std::string& file_name, const Signature& signature,
                   const std::vector<PublicKey>& keys, std::string* reason, SignedTimes* times) {
    if (!SodiumReady()) {
        *reason = "cannot be checked: the signature library cannot start";
        return Verdict::kUnreadable;
    }
    // A key id is 8 bytes anyone can choose: every trusted key that carries
    // the signature's id is tried, so a second key with the same id never
    // hides the one that made the signature.
    Verdict verdict = Verdict::kUntrustedKey;
    *reason = "was made by an untrusted key (" + KeyIdText(signature.key_id) + ")";
    for (const PublicKey& candidate : keys) {
        if (candidate.key_id != signature.key_id) continue;
        SignedTimes signed_times;
        verdict = VerifyWithKey(path, file_name, signature, candidate, reason, &signed_times);
        if (verdict == Verdict::kValid) {
            if (times != nullptr) *times = signed_times;
            return verdict;
        }
    }
    return verdict;
}

bool GenerateKeyPair(std::string* public_text, std::string* secret_text, std::string* error) {
    if (!SodiumReady()) return Fail(error, "the signature library cannot start");
    uint8_t pk[32], sk[64], id[8];
    crypto_sign_keypair(pk, sk);
    randombytes_buf(id, sizeof id);
    KeyId key_id;
    std::memcpy(key_id.data(), id, 8);
    uint8_t pub[kPublicKeyBytes] = {'E', 'd'};
    std::memcpy(pub + 2, id, 8);
    std::memcpy(pub + 10, pk, 32);
    *public_text = std::string(kUntrusted) + "minisign public key " + KeyIdText(key_id) + "\n" +
                   Encode(pub, sizeof pub) + "\n";
    std::vector<uint8_t> sec(kSecretKeyBytes, 0);
    sec[0] = 'E', sec[1] = 'd', sec[4] = 'B', sec[5] = '2';
    std::memcpy(sec.data() + 54, id, 8);
    std::memcpy(sec.data() + 62, sk, 64);
    uint8_t check[32];
    SecretKeyChecksum(sec.data(), check);
    std::memcpy(sec.data() + 126, check, sizeof check);
    *secret_text = std::string(kUntrusted) + "minisign secret key (not encrypted)\n" + Encode(sec.data(), sec.size()) + "\n";
    sodium_memzero(sk, sizeof sk);
    sodium_memzero(sec.data(), sec.size());
    return true;
}

bool SignFile(const std::string& path, const std::string& file_name, const SecretKey& key,
              std::string* signature_text, std::string* error, const SignedTimes& times) {
    if (!SodiumReady()) return Fail(error, "the signature library cannot start");
    uint8_t hash[crypto_generichash_BYTES_MAX];
    if (!HashFile(path, hash)) return Fail(error, "cannot read " + path);
    uint8_t sig[kSignatureBytes] = {'E', 'D'};
    std::memcpy(sig + 2, key.key_id.data(), 8);
    crypto_sign_detached(sig + 10, nullptr, hash, sizeof hash, key.key.data());
    const std::string comment = TrustedComment(file_name, times);
    std::vector<uint8_t> global_message(sig + 10, sig + 10 + 64);
    global_message.insert(global_message.end(), comment.begin(), comment.end());
    uint8_t global[64];
    crypto_sign_detached(global, nullptr, global_message.data(), global_message.size(), key.key.data());
    *signature_text = std::string(kUntrusted) + "signature from the publisher's secret key\n" + Encode(sig, sizeof sig) +
                      "\n" + kTrusted + comment + "\n" + Encode(global, sizeof global) + "\n";
    return true;
}

}  // namespace TesselSoftware::Minisign
