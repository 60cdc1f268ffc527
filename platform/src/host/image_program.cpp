// A PE program started by the device's loader: this process becomes that
// program (its path, name and command line), joins the device, and runs the
// image's entry point, whose start-up code ends the process.
#include "ImageModules.h"

#include "Faults.h"
#include "Programs.h"

#include <simdevice/device.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace simdevice {
using namespace internal;

int RunProgramImage(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: pe_runner PROGRAM.exe [ARGUMENTS...]\n");
        return 2;
    }
    char resolved[PATH_MAX];
    const std::string path = realpath(argv[1], resolved) ? resolved : argv[1];
    SetProgramImage(path);
    ProgramStarted(argc - 1, argv + 1);
    auto loaded = LoadProgramImage(path);
    if (auto *refusal = std::get_if<ImageRefusal>(&loaded)) {
        std::fprintf(stderr, "%s: cannot be loaded: %s (error %u)\n", path.c_str(), refusal->reason.c_str(),
                     unsigned(refusal->error));
        ProgramExiting(kImageRefusedStatus);
        return kImageRefusedStatus;
    }
    const MappedImage &image = std::get<MappedImage>(loaded);
    reinterpret_cast<void (*)()>(image.base + image.entry)();
    // A process ends when its main thread does.
    ProgramExiting(0);
    return 0;
}

}  // namespace simdevice
