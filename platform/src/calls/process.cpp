// The calling process: its command line and its end.
#include <simdevice/device.h>

#include "Served.h"

#include "../host/Faults.h"
#include "../host/Files.h"
#include "../host/Programs.h"

#include <cstdlib>

using namespace simdevice;
using namespace simdevice::internal;

namespace {

// This process's arguments, as the device's command line holds them:
// without the program's name (nor the device's loader's, for a PE program).
std::u16string ArgumentsOfThisProcess() {
    auto text = ReadWholeFile("/proc/self/cmdline");
    std::string line;
    if (text) {
        const size_t skipped = RunsProgramImage() ? 2 : 1;
        size_t word = 0;
        for (size_t start = 0; start < text->size(); ++word) {
            size_t end = text->find('\0', start);
            if (end == std::string::npos) end = text->size();
            if (word >= skipped) line += (line.empty() ? "" : " ") + text->substr(start, end - start);
            start = end + 1;
        }
    }
    return Utf8ToUtf16(line);
}

}  // namespace

LPWSTR WINAPI GetCommandLineW(void) {
    static std::u16string line = ArgumentsOfThisProcess();
    return line.data();
}

// Only the calling process can be ended: the device's pseudo-handle.
BOOL WINAPI served::TerminateProcess(HANDLE process, UINT exitCode) {
    if (process != GetCurrentProcess()) return SetError(ERROR_INVALID_HANDLE), FALSE;
    ProgramExiting(int(exitCode));
    std::exit(int(exitCode));
}
