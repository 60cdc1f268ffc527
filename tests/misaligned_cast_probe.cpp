// Must not compile under the device rules for the device's processor: a
// word read from an odd address, which qemu-arm runs and the device faults on.
#include <windows.h>

DWORD WordAfterTag(const BYTE *record) {
    return *reinterpret_cast<const DWORD *>(record + 1);
}
