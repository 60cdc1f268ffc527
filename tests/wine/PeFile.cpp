#include "PeFile.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace pe {

namespace {

// Little-endian reads that refuse to go past the end of the file.
class Bytes {
public:
    explicit Bytes(std::vector<unsigned char> data) : data_(std::move(data)) {}
    bool Has(uint64_t offset, uint64_t count) const { return offset <= data_.size() && count <= data_.size() - offset; }
    uint64_t Get(uint64_t offset, int width) const {
        if (!Has(offset, uint64_t(width))) throw std::out_of_range("past the end");
        uint64_t value = 0;
        for (int i = width - 1; i >= 0; --i) value = (value << 8) | data_[offset + uint64_t(i)];
        return value;
    }
    std::string Text(uint64_t offset, size_t most) const {
        std::string text;
        for (uint64_t i = offset; Has(i, 1) && text.size() < most && data_[i] != 0; ++i) text += char(data_[i]);
        return text;
    }
    // UTF-16 text up to its terminator or MOST characters; non-ASCII as '?'.
    std::string WideText(uint64_t offset, size_t most) const {
        std::string text;
        for (uint64_t i = offset; text.size() < most; i += 2) {
            const uint64_t c = Get(i, 2);
            if (c == 0) break;
            text += c < 0x80 ? char(c) : '?';
        }
        return text;
    }
    uint64_t Size() const { return data_.size(); }

private:
    std::vector<unsigned char> data_;
};

struct Section {
    std::string name;
    uint32_t address, virtualSize, rawOffset, rawSize;
};

// The file offset of a relative virtual address.
uint64_t Offset(const std::vector<Section> &sections, uint32_t rva) {
    for (const Section &s : sections)
        if (rva >= s.address && rva < s.address + std::max(s.virtualSize, s.rawSize)) return s.rawOffset + (rva - s.address);
    throw std::out_of_range("address outside every section");
}

void ReadImports(const Bytes &b, const std::vector<Section> &sections, uint32_t rva, bool is64, File &file) {
    for (uint64_t descriptor = Offset(sections, rva);; descriptor += 20) {
        const uint32_t lookup = uint32_t(b.Get(descriptor, 4));
        const uint32_t nameRva = uint32_t(b.Get(descriptor + 12, 4));
        const uint32_t thunks = uint32_t(b.Get(descriptor + 16, 4));
        if (nameRva == 0) break;
        const std::string dll = b.Text(Offset(sections, nameRva), 256);
        const int width = is64 ? 8 : 4;
        const uint64_t ordinalFlag = is64 ? 0x8000000000000000ull : 0x80000000ull;
        for (uint64_t entry = Offset(sections, lookup != 0 ? lookup : thunks);; entry += uint64_t(width)) {
            const uint64_t value = b.Get(entry, width);
            if (value == 0) break;
            Import import;
            import.dll = dll;
            if (value & ordinalFlag) import.ordinal = uint16_t(value & 0xFFFF);
            else import.name = b.Text(Offset(sections, uint32_t(value & 0x7FFFFFFF)) + 2, 256);
            file.imports.push_back(import);
        }
    }
}

void ReadExports(const Bytes &b, const std::vector<Section> &sections, uint32_t rva, File &file) {
    const uint64_t directory = Offset(sections, rva);
    const uint32_t base = uint32_t(b.Get(directory + 16, 4));
    const uint32_t names = uint32_t(b.Get(directory + 24, 4));
    const uint64_t namePointers = Offset(sections, uint32_t(b.Get(directory + 32, 4)));
    const uint64_t ordinals = Offset(sections, uint32_t(b.Get(directory + 36, 4)));
    for (uint32_t i = 0; i < names; ++i) {
        const std::string name = b.Text(Offset(sections, uint32_t(b.Get(namePointers + 4ull * i, 4))), 256);
        file.exports[name] = uint16_t(base + b.Get(ordinals + 2ull * i, 2));
    }
}

// The resource tree: type, then name, then language. Returns the data
// offset of the entry with ID (or of the first entry) of the directory at
// DIRECTORY, relative to the tree's start; the high bit marks a directory.
std::optional<uint32_t> ResourceEntry(const Bytes &b, uint64_t tree, uint32_t directory, std::optional<uint32_t> id) {
    const uint64_t at = tree + directory;
    const uint64_t count = b.Get(at + 12, 2) + b.Get(at + 14, 2);
    for (uint64_t entry = at + 16, i = 0; i < count; ++i, entry += 8)
        if (!id || b.Get(entry, 4) == *id) return uint32_t(b.Get(entry + 4, 4));
    return std::nullopt;
}

// One node of a version resource: a length, a value and a key, then its
// children, each on a 32-bit boundary.
struct VersionNode {
    std::string key;
    uint64_t value, children, end;
};

uint64_t Align4(uint64_t offset) { return (offset + 3) & ~uint64_t(3); }

VersionNode ReadVersionNode(const Bytes &b, uint64_t at) {
    const uint64_t length = b.Get(at, 2);
    const uint64_t valueLength = b.Get(at + 2, 2);
    const bool text = b.Get(at + 4, 2) == 1;
    if (length < 6) throw std::invalid_argument("version resource node too short");
    VersionNode node;
    node.key = b.WideText(at + 6, 64);
    node.value = Align4(at + 6 + 2 * (node.key.size() + 1));
    node.children = Align4(node.value + (text ? 2 : 1) * valueLength);
    node.end = at + length;
    return node;
}

// The children of NODE, in order.
std::vector<VersionNode> VersionChildren(const Bytes &b, const VersionNode &node) {
    std::vector<VersionNode> children;
    for (uint64_t at = node.children; at + 6 <= node.end; at = Align4(children.back().end)) {
        children.push_back(ReadVersionNode(b, at));
        if (children.back().end <= at) throw std::invalid_argument("version resource node of no length");
    }
    return children;
}

// VS_VERSIONINFO: the fixed file information, then the string tables.
Version ReadVersion(const Bytes &b, uint64_t at) {
    const VersionNode root = ReadVersionNode(b, at);
    if (root.key != "VS_VERSION_INFO" || b.Get(root.value, 4) != 0xFEEF04BD)
        throw std::invalid_argument("malformed version resource");
    // Two 32-bit halves, each with its more significant number in the high word.
    auto numbers = [&](uint64_t at) {
        auto word = [&](uint64_t offset) { return uint16_t(b.Get(offset, 2)); };
        return std::array<uint16_t, 4>{word(at + 2), word(at), word(at + 6), word(at + 4)};
    };
    Version version;
    version.file = numbers(root.value + 8);
    version.product = numbers(root.value + 16);
    for (const VersionNode &info : VersionChildren(b, root)) {
        if (info.key != "StringFileInfo") continue;
        const std::vector<VersionNode> tables = VersionChildren(b, info);
        if (tables.empty()) break;
        for (const VersionNode &string : VersionChildren(b, tables.front()))
            version.strings[string.key] = b.WideText(string.value, size_t((string.end - string.value) / 2));
        break;
    }
    return version;
}

// The VERSIONINFO resource (type 16), if the tree at RVA has one.
std::optional<Version> ReadVersionResource(const Bytes &b, const std::vector<Section> &sections, uint32_t rva) {
    const uint64_t tree = Offset(sections, rva);
    const uint32_t subdirectory = 0x80000000u;
    std::optional<uint32_t> entry = ResourceEntry(b, tree, 0, 16);
    for (int level = 0; level < 2 && entry && (*entry & subdirectory); ++level)
        entry = ResourceEntry(b, tree, *entry & ~subdirectory, std::nullopt);
    if (!entry || (*entry & subdirectory)) return std::nullopt;
    const uint32_t dataRva = uint32_t(b.Get(tree + *entry, 4));
    return ReadVersion(b, Offset(sections, dataRva));
}

File Parse(const Bytes &b) {
    if (b.Get(0, 2) != 0x5A4D) throw std::invalid_argument("no MZ header");
    const uint64_t header = b.Get(0x3C, 4);
    if (b.Get(header, 4) != 0x00004550) throw std::invalid_argument("no PE signature");
    File file;
    file.size = b.Size();
    const uint64_t coff = header + 4;
    file.machine = uint16_t(b.Get(coff, 2));
    const uint16_t sectionCount = uint16_t(b.Get(coff + 2, 2));
    file.hasSymbolTable = b.Get(coff + 8, 4) != 0;
    file.relocationsStripped = (b.Get(coff + 18, 2) & 0x0001) != 0;
    const uint16_t optionalSize = uint16_t(b.Get(coff + 16, 2));
    const uint64_t optional = coff + 20;
    const uint16_t magic = uint16_t(b.Get(optional, 2));
    if (magic != 0x10B && magic != 0x20B) throw std::invalid_argument("unknown optional header");
    file.is64 = magic == 0x20B;
    file.subsystemMajor = uint16_t(b.Get(optional + 48, 2));
    file.subsystemMinor = uint16_t(b.Get(optional + 50, 2));
    file.subsystem = uint16_t(b.Get(optional + 68, 2));
    file.sizeOfImage = uint32_t(b.Get(optional + 56, 4));
    file.dynamicBase = (b.Get(optional + 70, 2) & 0x0040) != 0;
    const uint64_t directories = optional + (file.is64 ? 112 : 96);
    const uint32_t directoryCount = uint32_t(b.Get(directories - 4, 4));
    auto directoryRva = [&](uint32_t index) { return index < directoryCount ? uint32_t(b.Get(directories + 8ull * index, 4)) : 0u; };

    std::vector<Section> sections;
    for (uint64_t s = optional + optionalSize, i = 0; i < sectionCount; ++i, s += 40) {
        Section section{b.Text(s, 8), uint32_t(b.Get(s + 12, 4)), uint32_t(b.Get(s + 8, 4)), uint32_t(b.Get(s + 20, 4)),
                        uint32_t(b.Get(s + 16, 4))};
        file.sections.push_back({section.name, uint32_t(b.Get(s + 36, 4))});
        sections.push_back(section);
    }
    if (uint32_t exports = directoryRva(0)) ReadExports(b, sections, exports, file);
    if (uint32_t imports = directoryRva(1)) ReadImports(b, sections, imports, file.is64, file);
    file.hasTlsDirectory = directoryRva(9) != 0;
    file.hasRelocations = directoryRva(5) != 0;
    if (uint32_t resources = directoryRva(2)) {
        file.hasResourceDirectory = true;
        file.version = ReadVersionResource(b, sections, resources);
    }
    return file;
}

}  // namespace

std::optional<File> Read(const std::string &path, std::string *why) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *why = "cannot open " + path;
        return std::nullopt;
    }
    try {
        return Parse(Bytes(std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {})));
    } catch (const std::exception &error) {
        *why = path + ": " + error.what();
        return std::nullopt;
    }
}

}  // namespace pe
