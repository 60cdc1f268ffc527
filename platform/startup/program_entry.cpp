// The platform's program start-up code: joins the device, hands the command
// line to WinMain and exits with what it returns.
#include <simdevice/device.h>

#include <string>

int main(int argc, char **argv) {
    simdevice::ProgramStarted(argc, argv);
    std::string line;
    for (int i = 1; i < argc; ++i) line += (i > 1 ? " " : "") + std::string(argv[i]);
    std::u16string commandLine = simdevice::Utf8ToUtf16(line);
    int status = WinMain(GetModuleHandleW(nullptr), nullptr, commandLine.data(), SW_SHOW);
    simdevice::ProgramExiting(status);
    return status;
}
