#include "Common/Registry/SecurityDescriptorText.h"

#include <cstring>

namespace TesselSoftware {

namespace {

class DescriptorText {
public:
    explicit DescriptorText(const std::string& text) : text_(text) {}

    bool Valid() {
        bool any = false;
        if (Take("O:")) any = Account();
        if (Take("G:") && !(any = Account())) return false;
        for (const char* part : {"D:", "S:"}) {
            if (!Take(part)) continue;
            any = true;
            while (at_ < text_.size() && IsUpper(text_[at_]) && !StartsPart()) ++at_;  // flags
            while (at_ < text_.size() && text_[at_] == '(') {
                if (!Ace()) return false;
            }
        }
        return any && at_ == text_.size();
    }

private:
    static bool IsUpper(char c) { return (c >= 'A' && c <= 'Z') || c == '_'; }
    static bool IsDigit(char c) { return c >= '0' && c <= '9'; }
    static bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

    bool Take(const char* token) {
        const size_t length = std::strlen(token);
        if (text_.compare(at_, length, token) != 0) return false;
        at_ += length;
        return true;
    }
    bool StartsPart() const { return text_.compare(at_, 2, "S:") == 0; }

    bool Account() {
        if (Take("S-1")) {
            bool parts = false;
            while (at_ + 1 < text_.size() && text_[at_] == '-' && IsDigit(text_[at_ + 1])) {
                ++at_;
                while (at_ < text_.size() && IsDigit(text_[at_])) ++at_;
                parts = true;
            }
            return parts;
        }
        if (at_ + 2 <= text_.size() && IsUpper(text_[at_]) && IsUpper(text_[at_ + 1]) &&
            text_[at_] != '_' && text_[at_ + 1] != '_') {
            at_ += 2;
            return true;
        }
        return false;
    }

    template <typename Pred>
    size_t Run(Pred pred) {
        const size_t start = at_;
        while (at_ < text_.size() && pred(text_[at_])) ++at_;
        return at_ - start;
    }

    bool Ace() {
        ++at_;  // "("
        const auto rights = [](char c) { return IsUpper(c) || IsDigit(c) || c == 'x'; };
        const auto guid = [](char c) { return IsHex(c) || c == '-'; };
        if (Run(IsUpper) == 0 || !Take(";")) return false;
        Run(IsUpper);
        if (!Take(";")) return false;
        Run(rights);
        if (!Take(";")) return false;
        Run(guid);
        if (!Take(";")) return false;
        Run(guid);
        if (!Take(";")) return false;
        return Account() && Take(")");
    }

    const std::string& text_;
    size_t at_ = 0;
};

}  // namespace

bool IsSecurityDescriptorText(const std::string& text) {
    return !text.empty() && text.size() <= 4096 && DescriptorText(text).Valid();
}

}  // namespace TesselSoftware
