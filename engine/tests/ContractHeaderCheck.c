/* The contract header compiles as C, with its layout assertions, and its
 * records can be filled as a C caller fills them. */
#include "Common/Engine/EngineContract.h"

int ContractHeaderCheckFromC(void) {
    struct EngineTagItem item = {16, kEngineTagInterfaceKey, 8, kEngineInterfaceKey};
    struct EngineRequest request = {sizeof request, 1, &item};
    return request.size == 12 && request.items->tag == 107 ? (int)sizeof(struct EngineInitResult)
                                                           : -1;
}
