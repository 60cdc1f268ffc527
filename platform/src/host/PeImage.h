// PE files in the simulated device: their headers read and checked, the
// image mapped, its base relocations applied, its imports bound and its
// pages protected, as the device's loader does for ARM files (machine
// 0x01C0, or 0x01C2 for MSVC's interworking files). On a build for another
// processor every PE file is refused: its code could not run here.
#pragma once

#include <windef.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>

namespace simdevice::internal {

enum class ImageKind { Program, Library };

// Why a file cannot be loaded: the platform's error (ERROR_BAD_EXE_FORMAT,
// ERROR_PROC_NOT_FOUND, ERROR_MOD_NOT_FOUND) and one line saying why.
struct ImageRefusal {
    DWORD error;
    std::string reason;
};

// Whether the device's loader, not the host's, takes the file at PATH: a
// regular file, neither built for this host (ELF) nor a script. Whatever
// else it is, a PE file or not, the device's loader loads or refuses it.
bool ForDeviceLoader(const std::string &path);

// The address that serves coredll.dll's export ORDINAL, or NAME when the
// import is by name (ORDINAL 0); null when there is none.
using ImportResolver = std::function<void *(uint16_t ordinal, const std::string &name)>;

struct MappedImage {
    unsigned char *base = nullptr;
    size_t size = 0;
    uintptr_t preferredBase = 0;
    uint32_t entry = 0;  // relative to the base; 0: no entry point
    uint32_t exportDirectory = 0, exportSize = 0;
};

// Reads and checks the file as the loader would, without mapping it.
std::optional<ImageRefusal> CheckImage(const std::string &path, ImageKind kind, const ImportResolver &resolve);
// Maps it at its preferred base or, if that is taken, elsewhere with its
// base relocations applied; binds its imports, protects each section as
// its header asks and flushes the instruction cache. On refusal nothing
// stays mapped.
std::variant<MappedImage, ImageRefusal> MapImage(const std::string &path, ImageKind kind,
                                                 const ImportResolver &resolve);
void UnmapImage(const MappedImage &image);
// An export by name, or by ordinal; null if the image has none such (a
// forwarded export included).
void *ImageExport(const MappedImage &image, const std::string &name);
void *ImageExport(const MappedImage &image, uint16_t ordinal);

}  // namespace simdevice::internal
