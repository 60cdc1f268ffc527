// Program start-up as on the device, whose WinMain takes the command line as
// wide text: the desktop's wide entry (-municode) hands over to it.
#include <windows.h>

extern "C" int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show) {
    return WinMain(instance, previous, commandLine, show);
}
