// RPCHelpers: the memory routines both ends of the local RPC interface use
// for what crosses it. Out-strings and arrays are allocated with RpcAllocate
// by the side that fills them and released with RpcFree by the side that
// receives them.
#pragma once

#include <cstddef>
#include <memory>

namespace TesselSoftware {

// Heap allocation. When the heap is exhausted the failure is reported as an
// internal assertion; when that ends the process nothing returns, otherwise
// the result is nullptr.
void* RpcAllocate(size_t bytes);
// Releases a block of RpcAllocate; nullptr is ignored.
void RpcFree(void* block);

// A copy of the NUL-terminated text made with RpcAllocate (length + 1
// characters); nullptr for nullptr. Throws std::bad_alloc when the heap is
// exhausted and the assertion report did not end the process.
char16_t* RpcCopyString(const char16_t* text);

struct RpcFreeDeleter {
    void operator()(void* block) const { RpcFree(block); }
};
// An owned RPC string.
using RpcString = std::unique_ptr<char16_t, RpcFreeDeleter>;

}  // namespace TesselSoftware
