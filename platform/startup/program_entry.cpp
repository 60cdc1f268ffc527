// The platform's program start-up code, as the device's: WinMain gets the
// module handle, no previous instance, the command line and the show state,
// and its result ends the process. Joining the simulated device comes first.
#include <simdevice/device.h>

int main(int argc, char **argv) {
    simdevice::ProgramStarted(argc, argv);
    const int status = WinMain(GetModuleHandleW(nullptr), nullptr, GetCommandLineW(), SW_SHOW);
    TerminateProcess(GetCurrentProcess(), UINT(status));
    return status;  // only if the platform refused to end the process
}
