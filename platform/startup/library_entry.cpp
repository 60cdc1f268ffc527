// The platform's library start-up code, linked into each library: calls
// DllMain with the process attach reason when the library is loaded and with
// the detach reason when it is unloaded; the platform calls it for threads. The instance is the library's base
// address, which is also the handle LoadLibraryW gives for it.
#include <simdevice/device.h>

#include <dlfcn.h>

// The library's entry, with C linkage as the platform calls it.
extern "C" BOOL WINAPI DllMain(HANDLE instance, DWORD reason, LPVOID reserved);

namespace {

HANDLE OwnInstance() {
    Dl_info info{};
    dladdr(reinterpret_cast<void *>(&OwnInstance), &info);
    return info.dli_fbase;
}

// A FALSE from DllMain makes the platform's LoadLibraryW fail, and unload
// the library.
__attribute__((constructor)) void AttachProcess() {
    simdevice::LibraryAttached(OwnInstance(), DllMain, DllMain(OwnInstance(), DLL_PROCESS_ATTACH, nullptr) != FALSE);
}
__attribute__((destructor)) void DetachProcess() { DllMain(OwnInstance(), DLL_PROCESS_DETACH, nullptr); }

}  // namespace
