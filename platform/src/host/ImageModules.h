// The PE modules of this process: the libraries LoadLibraryW loaded from PE
// files, with their references and entry points, and the program the
// device's loader started. A module handle is the image's base address.
#pragma once

#include "PeImage.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace simdevice::internal {

// coredll.dll's exports as the PE loader binds them: the call list's
// ordinals and names, each served by the stand-in's own function.
void *CoreExport(uint16_t ordinal, const std::string &name);

// The one timeline record of a refused image: its path and why.
void LogImageRefusal(const std::string &path, const ImageRefusal &refusal);

// Loads the PE library at PATH (DllMain attach first), or takes one more
// reference to it if it is loaded; null with the platform's error set if it
// cannot be loaded or its DllMain refused.
void *LoadImageLibrary(const std::string &path);
// Drops one reference; the last runs DllMain detach and unmaps it. False if
// BASE is no PE module's.
bool FreeImageLibrary(void *base);
std::optional<std::string> ImageModulePath(const void *base);
// Calls every loaded PE library's entry with REASON (a thread's start or
// end), on this thread.
void TellImageLibraries(DWORD reason);
// Every loaded PE library, base and path.
std::vector<std::pair<void *, std::string>> ImageModules();
// An export of a loaded PE library; null if there is none.
void *ImageProcAddress(void *base, const std::string &name);
void *ImageProcAddress(void *base, uint16_t ordinal);

// The exit status of a program whose image the device's loader refused.
constexpr int kImageRefusedStatus = 127;

// The program's own image when the device's loader started one, else null.
void *ProgramImageBase();
// Maps the PE program at PATH as this process's program; refused if it
// cannot be loaded (recorded in the timeline).
std::variant<MappedImage, ImageRefusal> LoadProgramImage(const std::string &path);

}  // namespace simdevice::internal
