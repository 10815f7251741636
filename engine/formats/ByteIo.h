// Little-endian writing and bounds-checked reading of the engine's files.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace VexorEngine {

class ByteWriter {
  public:
    explicit ByteWriter(std::string* out) : out_(out) {}

    void U8(uint8_t v) { out_->push_back(static_cast<char>(v)); }
    void U16(uint16_t v) {
        U8(static_cast<uint8_t>(v));
        U8(static_cast<uint8_t>(v >> 8));
    }
    void U32(uint32_t v) {
        U16(static_cast<uint16_t>(v));
        U16(static_cast<uint16_t>(v >> 16));
    }
    void Bytes(std::string_view data) { out_->append(data); }

  private:
    std::string* out_;
};

// Every read past the end fails and makes the reader fail from then on, so a
// decoder can read a whole record and test ok() once.
class ByteReader {
  public:
    explicit ByteReader(std::string_view data) : data_(data) {}

    bool ok() const { return ok_; }
    size_t remaining() const { return ok_ ? data_.size() - at_ : 0; }
    size_t position() const { return at_; }

    uint8_t U8() {
        if (!Need(1)) {
            return 0;
        }
        return static_cast<uint8_t>(data_[at_++]);
    }
    uint16_t U16() {
        const uint16_t low = U8();
        return static_cast<uint16_t>(low | (U8() << 8));
    }
    uint32_t U32() {
        const uint32_t low = U16();
        return low | (static_cast<uint32_t>(U16()) << 16);
    }
    std::string_view Bytes(size_t length) {
        if (!Need(length)) {
            return {};
        }
        std::string_view out = data_.substr(at_, length);
        at_ += length;
        return out;
    }

  private:
    bool Need(size_t length) {
        if (!ok_ || data_.size() - at_ < length) {
            ok_ = false;
        }
        return ok_;
    }

    std::string_view data_;
    size_t at_ = 0;
    bool ok_ = true;
};

inline uint32_t LoadU32(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
}

}  // namespace VexorEngine
