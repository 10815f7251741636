#include "core/PasswordScrambler.h"

#include <ctime>

#include "Common/Errors/ExceptionBase.h"
#include "Common/Text/Rc4.h"
#include "Common/Text/TLBase64.h"

namespace TesselSoftware {

namespace {

// The same in every installation.
constexpr char kScramblingKey[] = "k3Wq9ZpL7rTx2VbNs";
constexpr size_t kMaxScrambledBytes = 128;  // text plus its terminator
constexpr size_t kMaxDecodedBytes = 264;

std::string Rc4Key(const std::string& salt) { return salt + kScramblingKey; }

}  // namespace

std::string ScramblePassword(const std::string& text) {
    return ScramblePassword(text, static_cast<uint32_t>(std::time(nullptr)));
}

std::string ScramblePassword(const std::string& text, uint32_t time_seconds) {
    const size_t n = text.size() + 1;
    if (n > kMaxScrambledBytes) throw ExceptionBase(0, "Password too long to scramble");
    const uint32_t salt_value = time_seconds | 0x80808080u;
    std::string salt(4, '\0');
    for (int i = 0; i < 4; ++i) salt[i] = static_cast<char>(salt_value >> (8 * i));
    const std::string plain(text.c_str(), n);  // with its terminator
    return CTLBase64::Encode(salt + Rc4Transform(Rc4Key(salt), plain));
}

bool UnscramblePassword(const std::string& stored, std::string* text) {
    text->clear();
    const std::string decoded = CTLBase64::Decode(stored, kMaxDecodedBytes);
    if (decoded.size() <= 3 || decoded.size() - 3 > kMaxScrambledBytes) return false;
    const std::string salt = decoded.substr(0, 4);
    const std::string plain = Rc4Transform(Rc4Key(salt), std::string_view(decoded).substr(4));
    const size_t end = plain.find('\0');
    if (end == std::string::npos) return false;  // no terminator: not ours
    *text = plain.substr(0, end);
    return true;
}

}  // namespace TesselSoftware
