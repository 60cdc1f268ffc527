// The device's loader for PE files: every offset and size in the file is
// checked against the file and the image before it is used, so that a
// truncated, random or malformed file is refused with a reason, never read
// past its end.
#include "PeImage.h"

#include <winerror.h>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace simdevice::internal {

namespace {

#if defined(__arm__)
constexpr uint16_t kMachineArm = 0x01C0;
constexpr uint16_t kMachineThumb = 0x01C2;  // MSVC's ARMV4I files, ARM and Thumb code
#endif
constexpr uint16_t kExecutableImage = 0x0002, kDllImage = 0x2000;
constexpr uint32_t kPage = 4096;
// A process slot on the device is 32 MB: nothing larger loads.
constexpr uint64_t kMostImageBytes = 32u << 20;
constexpr int kExportDirectory = 0, kImportDirectory = 1, kRelocationDirectory = 5, kTlsDirectory = 9;
constexpr uint32_t kScnExecute = 0x20000000, kScnRead = 0x40000000, kScnWrite = 0x80000000;
constexpr uint16_t kRelocationPadding = 0, kRelocationHighLow = 3;
// The newest file a CE 5.0 kernel starts; WM5 (5.01) and WM6 (5.02) run it too.
constexpr uint16_t kNewestSubsystemMajor = 5, kNewestSubsystemMinor = 0;
constexpr DWORD kErrorOldWinVersion = 1150;  // ERROR_OLD_WIN_VERSION: the kernel's refusal

struct Refused {
    DWORD error;
    std::string reason;
};

[[noreturn]] void Refuse(const std::string &reason, DWORD error = ERROR_BAD_EXE_FORMAT) {
    throw Refused{error, reason};
}

std::string Hex(uint64_t value, int digits = 0) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

struct Section {
    std::string name;
    uint32_t address, virtualSize, rawOffset, rawSize, characteristics;
    uint32_t Span() const { return virtualSize ? virtualSize : rawSize; }
};

struct Directory {
    uint32_t address = 0, size = 0;
};

// The file and what its headers say, checked.
class PeFile {
public:
    PeFile(std::vector<unsigned char> bytes, ImageKind kind) : bytes_(std::move(bytes)) { Parse(kind); }

    uint16_t machine = 0;
    uint32_t imageBase = 0, sizeOfImage = 0, sizeOfHeaders = 0, sectionAlignment = 0, entry = 0;
    std::array<Directory, 16> directories{};
    std::vector<Section> sections;

    uint32_t Word(uint64_t offset) const { return uint32_t(Get(offset, 4)); }
    uint16_t Half(uint64_t offset) const { return uint16_t(Get(offset, 2)); }
    const std::vector<unsigned char> &Bytes() const { return bytes_; }

    // The file offset of COUNT bytes at RVA, which must lie in the headers or
    // in one section's data in the file.
    uint64_t FileOffset(uint32_t rva, uint32_t count, const char *what) const {
        if (uint64_t(rva) + count <= sizeOfHeaders) return rva;
        for (const Section &s : sections)
            if (rva >= s.address && uint64_t(rva) + count <= uint64_t(s.address) + std::min(s.Span(), s.rawSize))
                return uint64_t(s.rawOffset) + (rva - s.address);
        Refuse(std::string(what) + " at " + Hex(rva) + " lies outside the file's sections");
    }
    std::string Text(uint32_t rva, const char *what) const {
        uint64_t at = FileOffset(rva, 1, what);
        std::string text;
        while (at < bytes_.size() && bytes_[at] != 0 && text.size() < 256) text += char(bytes_[at++]);
        if (at >= bytes_.size() || bytes_[at] != 0) Refuse(std::string(what) + " is not terminated");
        return text;
    }

private:
    uint64_t Get(uint64_t offset, int width) const {
        if (offset > bytes_.size() || uint64_t(width) > bytes_.size() - offset)
            Refuse(bytes_.empty() ? "the file is empty" : "the file is truncated (it ends at " + Hex(bytes_.size()) + ")");
        uint64_t value = 0;
        for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes_[offset + uint64_t(i)];
        return value;
    }

    void Parse(ImageKind kind);
    void ParseSections(uint64_t table, uint16_t count);

    std::vector<unsigned char> bytes_;
};

void PeFile::Parse(ImageKind kind) {
    if (bytes_.empty()) Refuse("the file is empty");
    if (bytes_.size() < 2 || Half(0) != 0x5A4D) Refuse("not a PE file (no MZ header)");
    const uint32_t header = Word(0x3C);
    if (Word(header) != 0x00004550) Refuse("not a PE file (no PE signature at " + Hex(header) + ")");
    const uint64_t coff = uint64_t(header) + 4;
    machine = Half(coff);
#if defined(__arm__)
    if (machine != kMachineArm && machine != kMachineThumb)
        Refuse("machine " + Hex(machine, 4) + " is not this device's (ARM, 0x01C0 or 0x01C2)");
#else
    Refuse("machine " + Hex(machine, 4) + ": PE files run only on the ARM build of the simulated device");
#endif
    const uint16_t sectionCount = Half(coff + 2);
    const uint16_t optionalSize = Half(coff + 16);
    const uint16_t characteristics = Half(coff + 18);
    if (!(characteristics & kExecutableImage)) Refuse("not an executable image (an object file?)");
    if (kind == ImageKind::Library && !(characteristics & kDllImage)) Refuse("a program, not a library");
    if (kind == ImageKind::Program && (characteristics & kDllImage)) Refuse("a library, not a program");
    const uint64_t optional = coff + 20;
    if (Half(optional) != 0x10B) Refuse("not a 32-bit image (optional header " + Hex(Half(optional)) + ")");
    if (optionalSize < 96) Refuse("an optional header of " + std::to_string(optionalSize) + " bytes");
    entry = Word(optional + 16);
    imageBase = Word(optional + 28);
    const uint16_t subsystemMajor = Half(optional + 48), subsystemMinor = Half(optional + 50);
    if (subsystemMajor > kNewestSubsystemMajor ||
        (subsystemMajor == kNewestSubsystemMajor && subsystemMinor > kNewestSubsystemMinor))
        Refuse("subsystem version " + std::to_string(subsystemMajor) + "." + (subsystemMinor < 10 ? "0" : "") +
                   std::to_string(subsystemMinor) + " is newer than 5.00, which the device's kernel refuses",
               kErrorOldWinVersion);
    sectionAlignment = Word(optional + 32);
    sizeOfImage = Word(optional + 56);
    sizeOfHeaders = Word(optional + 60);
    const uint32_t directoryCount = Word(optional + 92);
    if (sectionAlignment < kPage || (sectionAlignment & (sectionAlignment - 1)))
        Refuse("section alignment " + Hex(sectionAlignment) + " is not a power of two of a page or more");
    if (imageBase % kPage) Refuse("base " + Hex(imageBase) + " is not on a page boundary");
    if (sizeOfImage == 0 || sizeOfImage > kMostImageBytes) Refuse("image size " + Hex(sizeOfImage) + " out of range");
    if (sizeOfHeaders == 0 || sizeOfHeaders > bytes_.size() || sizeOfHeaders > sizeOfImage)
        Refuse("headers of " + Hex(sizeOfHeaders) + " bytes do not fit the file and the image");
    if (directoryCount > 16 || 96 + 8ull * directoryCount > optionalSize)
        Refuse(std::to_string(directoryCount) + " data directories do not fit the optional header");
    for (uint32_t i = 0; i < directoryCount; ++i) {
        directories[i] = {Word(optional + 96 + 8ull * i), Word(optional + 100 + 8ull * i)};
        const Directory &d = directories[i];
        if (d.size && uint64_t(d.address) + d.size > sizeOfImage)
            Refuse("data directory " + std::to_string(i) + " lies outside the image");
    }
    ParseSections(optional + optionalSize, sectionCount);
    // CE 5 always moves a library, and its loader never returns from one
    // whose relocation table starts inside a page: it would hang the
    // client and every later load in the system.
    const Directory &relocations = directories[kRelocationDirectory];
    if (kind == ImageKind::Library && relocations.size && relocations.address % kPage)
        Refuse("its base relocation table at " + Hex(relocations.address) +
               " does not start on a page, which hangs the device's loader");
    if (directories[kTlsDirectory].address || directories[kTlsDirectory].size)
        Refuse("a TLS directory: the device's loader sets up no thread-local data for a module");
    bool entryInCode = false;
    for (const Section &s : sections)
        entryInCode |= entry >= s.address && entry < s.address + s.Span() && (s.characteristics & kScnExecute);
    if ((entry || kind == ImageKind::Program) && !entryInCode)
        Refuse("entry point " + Hex(entry) + " is not in a code section");
}

void PeFile::ParseSections(uint64_t table, uint16_t count) {
    if (count == 0 || count > 96) Refuse(std::to_string(count) + " sections");
    if (table + 40ull * count > sizeOfHeaders) Refuse("the section table runs past the headers");
    uint64_t previousEnd = sizeOfHeaders;
    std::string previous = "the headers";
    for (uint16_t i = 0; i < count; ++i) {
        const uint64_t at = table + 40ull * i;
        Section s;
        for (int c = 0; c < 8 && Bytes()[at + c]; ++c) s.name += char(Bytes()[at + c]);
        s.virtualSize = Word(at + 8);
        s.address = Word(at + 12);
        s.rawSize = Word(at + 16);
        s.rawOffset = Word(at + 20);
        s.characteristics = Word(at + 36);
        if (s.address % sectionAlignment) Refuse("section " + s.name + " at " + Hex(s.address) + " is not aligned");
        if (s.address < previousEnd) Refuse("sections " + previous + " and " + s.name + " overlap");
        const uint64_t end = uint64_t(s.address) + s.Span();
        if (end > sizeOfImage) Refuse("section " + s.name + " runs past the image's size");
        if (s.rawSize && uint64_t(s.rawOffset) + s.rawSize > Bytes().size())
            Refuse("section " + s.name + "'s data runs past the end of the file");
        previousEnd = end;
        previous = s.name;
        sections.push_back(s);
    }
}

std::vector<unsigned char> ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) Refuse("cannot be read", ERROR_FILE_NOT_FOUND);
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0 || uint64_t(size) > kMostImageBytes) Refuse("larger than a process slot");
    in.seekg(0);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

bool IsCoreLibrary(std::string name) {
    for (char &c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
    return name == "coredll.dll" || name == "coredll";
}

// Each import: where its address goes and what serves it.
struct Binding {
    uint32_t slot;
    void *address;
};

std::vector<Binding> ResolveImports(const PeFile &file, const ImportResolver &resolve) {
    std::vector<Binding> bindings;
    const Directory &imports = file.directories[kImportDirectory];
    if (!imports.size) return bindings;
    for (uint32_t descriptor = imports.address;; descriptor += 20) {
        const uint64_t at = file.FileOffset(descriptor, 20, "an import descriptor");
        const uint32_t lookup = file.Word(at), name = file.Word(at + 12), slots = file.Word(at + 16);
        if (name == 0 && slots == 0) break;
        const std::string library = file.Text(name, "an imported library's name");
        if (!IsCoreLibrary(library))
            Refuse("imports from " + library + ": only coredll.dll serves a PE file here", ERROR_MOD_NOT_FOUND);
        const uint32_t entries = lookup ? lookup : slots;
        for (uint32_t i = 0;; ++i) {
            const uint32_t value = file.Word(file.FileOffset(entries + 4 * i, 4, "an import entry"));
            if (value == 0) break;
            if (uint64_t(slots) + 4 * i + 4 > file.sizeOfImage) Refuse("an import address outside the image");
            void *address = nullptr;
            if (value & 0x80000000u) {
                const uint16_t ordinal = uint16_t(value & 0xFFFF);
                address = resolve(ordinal, "");
                if (!address)
                    Refuse("coredll.dll has no export at ordinal " + std::to_string(ordinal), ERROR_PROC_NOT_FOUND);
            } else {
                const std::string function = file.Text(value + 2, "an imported function's name");
                address = resolve(0, function);
                if (!address) Refuse("coredll.dll has no export named " + function, ERROR_PROC_NOT_FOUND);
            }
            bindings.push_back({slots + 4 * i, address});
        }
    }
    return bindings;
}

// The base relocations, each the offset of a 32-bit address to move.
std::vector<uint32_t> ReadRelocations(const PeFile &file) {
    std::vector<uint32_t> targets;
    const Directory &relocations = file.directories[kRelocationDirectory];
    for (uint32_t block = 0; block < relocations.size;) {
        const uint64_t at = file.FileOffset(relocations.address + block, 8, "a base relocation block");
        const uint32_t page = file.Word(at), size = file.Word(at + 4);
        if (size < 8 || size % 2 || size > relocations.size - block) Refuse("a base relocation block of " + Hex(size) + " bytes");
        for (uint32_t entry = 8; entry + 2 <= size; entry += 2) {
            const uint16_t value = file.Half(file.FileOffset(relocations.address + block + entry, 2, "a base relocation"));
            const uint16_t type = value >> 12;
            const uint32_t target = page + (value & 0x0FFF);
            if (type == kRelocationPadding) continue;
            if (type != kRelocationHighLow) Refuse("base relocation type " + std::to_string(type) + " (an ARM file has 32-bit ones only)");
            if (uint64_t(target) + 4 > file.sizeOfImage) Refuse("a base relocation at " + Hex(target) + " outside the image");
            targets.push_back(target);
        }
        block += size;
    }
    return targets;
}

int Protection(uint32_t characteristics) {
    int protection = PROT_NONE;
    if (characteristics & kScnRead) protection |= PROT_READ;
    if (characteristics & kScnWrite) protection |= PROT_WRITE | PROT_READ;
    if (characteristics & kScnExecute) protection |= PROT_EXEC | PROT_READ;
    return protection;
}

uint32_t PageRound(uint64_t bytes) { return uint32_t((bytes + kPage - 1) / kPage * kPage); }

MappedImage Map(const PeFile &file, const ImportResolver &resolve) {
    std::vector<Binding> bindings = ResolveImports(file, resolve);
    std::vector<uint32_t> relocations = ReadRelocations(file);
    const size_t size = PageRound(file.sizeOfImage);
    // The preferred base is a hint: taken, the image goes elsewhere.
    void *hint = reinterpret_cast<void *>(uintptr_t(file.imageBase));
    void *memory = mmap(hint, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) Refuse("no room for an image of " + Hex(size) + " bytes", ERROR_NOT_ENOUGH_MEMORY);
    auto *base = static_cast<unsigned char *>(memory);
    const uint32_t delta = uint32_t(reinterpret_cast<uintptr_t>(base)) - file.imageBase;
    if (delta && file.directories[kRelocationDirectory].size == 0) {
        munmap(memory, size);
        Refuse("its base " + Hex(file.imageBase) + " is taken and it carries no base relocations");
    }
    std::memcpy(base, file.Bytes().data(), file.sizeOfHeaders);
    for (const Section &s : file.sections)
        std::memcpy(base + s.address, file.Bytes().data() + s.rawOffset, std::min(s.rawSize, s.Span()));
    for (uint32_t target : relocations) {
        uint32_t address;
        std::memcpy(&address, base + target, 4);
        address += delta;
        std::memcpy(base + target, &address, 4);
    }
    for (const Binding &binding : bindings) {
        const uint32_t address = uint32_t(reinterpret_cast<uintptr_t>(binding.address));
        std::memcpy(base + binding.slot, &address, 4);
    }
    mprotect(base, PageRound(file.sizeOfHeaders), PROT_READ);
    for (const Section &s : file.sections)
        mprotect(base + s.address, PageRound(s.Span()), Protection(s.characteristics));
    __builtin___clear_cache(reinterpret_cast<char *>(base), reinterpret_cast<char *>(base + size));
    MappedImage image;
    image.base = base;
    image.size = size;
    image.preferredBase = file.imageBase;
    image.entry = file.entry;
    image.exportDirectory = file.directories[kExportDirectory].address;
    image.exportSize = file.directories[kExportDirectory].size;
    return image;
}

template <typename T>
bool Read(const MappedImage &image, uint64_t rva, T *value) {
    if (rva + sizeof(T) > image.size) return false;
    std::memcpy(value, image.base + rva, sizeof(T));
    return true;
}

// The address of export INDEX of the address table; null when it is out of
// range, empty or forwarded (its address inside the export directory).
void *ExportAt(const MappedImage &image, uint32_t index) {
    uint32_t count = 0, table = 0, rva = 0;
    if (!Read(image, image.exportDirectory + 20, &count) || !Read(image, image.exportDirectory + 28, &table) ||
        index >= count || !Read(image, table + 4ull * index, &rva))
        return nullptr;
    if (rva == 0 || rva >= image.size) return nullptr;
    if (rva >= image.exportDirectory && rva < image.exportDirectory + image.exportSize) return nullptr;
    return image.base + rva;
}

}  // namespace

bool ForDeviceLoader(const std::string &path) {
    struct stat info{};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    char magic[4] = {};
    in.read(magic, sizeof magic);
    const bool elf = in.gcount() == 4 && std::memcmp(magic, "\x7f" "ELF", 4) == 0;
    const bool script = in.gcount() >= 2 && magic[0] == '#' && magic[1] == '!';
    return !elf && !script;
}

std::optional<ImageRefusal> CheckImage(const std::string &path, ImageKind kind, const ImportResolver &resolve) {
    try {
        PeFile file(ReadFile(path), kind);
        ResolveImports(file, resolve);
        ReadRelocations(file);
        return std::nullopt;
    } catch (const Refused &refused) {
        return ImageRefusal{refused.error, refused.reason};
    }
}

std::variant<MappedImage, ImageRefusal> MapImage(const std::string &path, ImageKind kind,
                                                 const ImportResolver &resolve) {
    try {
        return Map(PeFile(ReadFile(path), kind), resolve);
    } catch (const Refused &refused) {
        return ImageRefusal{refused.error, refused.reason};
    }
}

void UnmapImage(const MappedImage &image) {
    if (image.base) munmap(image.base, image.size);
}

void *ImageExport(const MappedImage &image, uint16_t ordinal) {
    uint32_t base = 0;
    if (!image.exportSize || !Read(image, image.exportDirectory + 16, &base) || ordinal < base) return nullptr;
    return ExportAt(image, ordinal - base);
}

void *ImageExport(const MappedImage &image, const std::string &name) {
    uint32_t names = 0, nameTable = 0, ordinalTable = 0;
    if (!image.exportSize || !Read(image, image.exportDirectory + 24, &names) ||
        !Read(image, image.exportDirectory + 32, &nameTable) || !Read(image, image.exportDirectory + 36, &ordinalTable))
        return nullptr;
    for (uint32_t i = 0; i < names; ++i) {
        uint32_t rva = 0;
        uint16_t index = 0;
        if (!Read(image, nameTable + 4ull * i, &rva) || !Read(image, ordinalTable + 2ull * i, &index)) return nullptr;
        if (rva >= image.size) continue;
        const char *text = reinterpret_cast<const char *>(image.base + rva);
        const size_t most = image.size - rva;
        if (strnlen(text, most) < most && name == text) return ExportAt(image, index);
    }
    return nullptr;
}

}  // namespace simdevice::internal
