// The local heap.
#include <simdevice/device.h>

#include "../host/Faults.h"
#include "../host/Handles.h"

#include <cstdlib>

using namespace simdevice;
using namespace simdevice::internal;

extern "C" {

HLOCAL WINAPI LocalAlloc(UINT flags, UINT bytes) {
    if (auto f = TakeFault(Call::LocalAlloc, flags, bytes)) return FaultResult<HLOCAL>(*f, nullptr);
    void *block = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
    if (!block) return SetError(ERROR_NOT_ENOUGH_MEMORY), nullptr;
    Count().allocations++;
    Count().allocationsMade++;
    return block;
}

// A release that fails gives the block back.
HLOCAL WINAPI LocalFree(HLOCAL memory) {
    if (auto f = TakeFault(Call::LocalFree, memory)) return FaultResult<HLOCAL>(*f, memory);
    if (memory) {
        std::free(memory);
        Count().allocations--;
    }
    return nullptr;
}

}  // extern "C"
