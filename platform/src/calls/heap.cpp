// The local heap.
#include <simdevice/device.h>

#include "Served.h"

#include "../host/Faults.h"
#include "../host/Handles.h"

#include <cstdlib>

using namespace simdevice;
using namespace simdevice::internal;

HLOCAL WINAPI served::LocalAlloc(UINT flags, UINT bytes) {
    void *block = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
    if (!block) return SetError(ERROR_NOT_ENOUGH_MEMORY), nullptr;
    Count().allocations++;
    Count().allocationsMade++;
    return block;
}

// A release that fails gives the block back.
HLOCAL WINAPI served::LocalFree(HLOCAL memory) {
    if (memory) {
        std::free(memory);
        Count().allocations--;
    }
    return nullptr;
}
