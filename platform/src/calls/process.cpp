// The calling process: its command line and its end.
#include <simdevice/device.h>

#include "../host/Faults.h"
#include "../host/Files.h"

#include <cstdlib>

using namespace simdevice;
using namespace simdevice::internal;

namespace {

// This process's arguments, as the device's command line holds them:
// without the program's name.
std::u16string ArgumentsOfThisProcess() {
    auto text = ReadWholeFile("/proc/self/cmdline");
    std::string line;
    if (text) {
        size_t start = text->find('\0');
        while (start != std::string::npos && start + 1 < text->size()) {
            size_t end = text->find('\0', start + 1);
            if (!line.empty()) line += ' ';
            line += text->substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
            start = end;
        }
    }
    return Utf8ToUtf16(line);
}

}  // namespace

extern "C" {

LPWSTR WINAPI GetCommandLineW(void) {
    static std::u16string line = ArgumentsOfThisProcess();
    return line.data();
}

// Only the calling process can be ended: the device's pseudo-handle.
BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode) {
    if (auto f = TakeFault(Call::TerminateProcess, process, exitCode)) return FaultResult<BOOL>(*f, FALSE);
    if (process != GetCurrentProcess()) return SetError(ERROR_INVALID_HANDLE), FALSE;
    ProgramExiting(int(exitCode));
    std::exit(int(exitCode));
}

}  // extern "C"
