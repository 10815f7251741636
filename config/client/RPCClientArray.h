// TRPCClientArray: owns an array of VexorLogEntry as the control interface
// returns it, and frees each text and then the array with the RPC free
// routine when cleared or destroyed. Not thread-safe.
#pragma once

#include <cstdint>

#include "Common/Rpc/NdrCodec.h"
#include "client/RPCClientErrors.h"

namespace TesselSoftware::RPCClient {

template <typename Entry>
class TRPCClientArray;

template <>
class TRPCClientArray<VexorLogEntry> {
public:
    TRPCClientArray() = default;
    ~TRPCClientArray() { Clear(); }
    TRPCClientArray(const TRPCClientArray&) = delete;
    TRPCClientArray& operator=(const TRPCClientArray&) = delete;

    int32_t Count() const { return count_; }
    // Throws CRPCClientArrayException for an index not below Count().
    const VexorLogEntry& operator[](int32_t index) const {
        if (index < 0 || index >= count_) throw CRPCClientArrayException();
        return entries_[index];
    }
    void Clear() {
        FreeLogEntries(entries_, count_);
        entries_ = nullptr;
        count_ = 0;
    }
    // Takes ownership of what a call returned; a null array holds nothing
    // whatever the count said.
    void Adopt(VexorLogEntry* entries, int32_t count) {
        Clear();
        entries_ = entries;
        count_ = entries != nullptr && count > 0 ? count : 0;
    }

private:
    VexorLogEntry* entries_ = nullptr;
    int32_t count_ = 0;
};

}  // namespace TesselSoftware::RPCClient
