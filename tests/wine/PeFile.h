// What a loader reads of a PE file: the machine, the subsystem and its
// version, the sections, the imports (by name or by ordinal), the exports
// and the version resource.
// Read straight from the bytes, so that the checks depend on no tool's way
// of printing them.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pe {

struct Import {
    std::string dll;
    std::optional<uint16_t> ordinal;  // set when imported by ordinal
    std::string name;                 // set when imported by name
};

// The VERSIONINFO resource: the fixed numbers and the first string table.
struct Version {
    std::array<uint16_t, 4> file{};     // FILEVERSION, most significant first
    std::array<uint16_t, 4> product{};  // PRODUCTVERSION
    std::map<std::string, std::string> strings;  // e.g. "OriginalFilename" -> "tallowbeck.dll"; non-ASCII as '?'
};

// A section's name and its IMAGE_SCN_* characteristics.
struct SectionHeader {
    std::string name;
    uint32_t characteristics = 0;
    bool Executable() const { return characteristics & 0x20000000u; }
    bool Writable() const { return characteristics & 0x80000000u; }
};

struct File {
    uint64_t size = 0;             // bytes on disk
    uint16_t machine = 0;          // 0x014C i386, 0x8664 x86_64, 0x01C0 ARM, 0x01C2 Thumb
    bool is64 = false;             // PE32+
    uint16_t subsystem = 0;        // 9: Windows CE GUI
    uint16_t subsystemMajor = 0, subsystemMinor = 0;
    bool hasSymbolTable = false;   // not stripped
    bool hasTlsDirectory = false;
    bool hasResourceDirectory = false;
    bool hasRelocations = false;   // a base relocation directory
    bool relocationsStripped = false;  // marked as not relocatable (IMAGE_FILE_RELOCS_STRIPPED)
    bool dynamicBase = false;      // DllCharacteristics: relocatable at random (CE 5 knows no such flag)
    uint32_t sizeOfImage = 0;      // what a loader reserves for it
    std::vector<SectionHeader> sections;
    std::vector<Import> imports;
    std::map<std::string, uint16_t> exports;  // name -> ordinal
    std::optional<Version> version;           // set when the file has a version resource
};

// The file at PATH, or nothing with WHY set when it is not a PE file this
// reader understands.
std::optional<File> Read(const std::string &path, std::string *why);

}  // namespace pe
