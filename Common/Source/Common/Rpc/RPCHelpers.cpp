#include "Common/Rpc/RPCHelpers.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "Common/Logs/CrashDump.h"

namespace TesselSoftware {

void* RpcAllocate(size_t bytes) {
    void* ptr = std::malloc(bytes == 0 ? 1 : bytes);
    if (ptr == nullptr) {
        // Ends the process when the report reaches the event log; otherwise
        // the caller sees the failed allocation.
        ReportAssertionFailure("ptr != NULL && \"No rpc memory\"", "RPCHelpers.cpp", __LINE__);
    }
    return ptr;
}

void RpcFree(void* block) { std::free(block); }

char16_t* RpcCopyString(const char16_t* text) {
    if (text == nullptr) return nullptr;
    size_t length = 0;
    while (text[length] != u'\0') ++length;
    auto* copy = static_cast<char16_t*>(RpcAllocate((length + 1) * sizeof(char16_t)));
    if (copy == nullptr) throw std::bad_alloc();
    std::memcpy(copy, text, (length + 1) * sizeof(char16_t));
    return copy;
}

}  // namespace TesselSoftware
