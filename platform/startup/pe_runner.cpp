// The device's loader for PE programs: pe_runner PROGRAM.exe [ARGUMENTS...].
// The device starts every PE file through it (SIMDEVICE_EMULATOR first, if set).
#include <simdevice/device.h>

int main(int argc, char **argv) { return simdevice::RunProgramImage(argc, argv); }
