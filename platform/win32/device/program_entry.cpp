// A device program's start-up code, as the device's own: WinMain gets the
// module handle, no previous instance, the command line (arguments only, as
// the device gives it) and the show state; its result ends the process.
// Nothing else runs: there is no C runtime to set up.
#include <windows.h>

// The device's pseudo-handle for the calling process, where the device's
// headers define it (desktop Win32's is another).
#include "../../include/kfuncs.h"

extern "C" void WINAPI WinMainCRTStartup(void) {
    const int status = WinMain(GetModuleHandleW(NULL), NULL, GetCommandLineW(), SW_SHOW);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
}
