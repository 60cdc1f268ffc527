"""The parts of a PE file an image builder needs: headers, sections, data
directories and base relocations. Every offset is checked against the file,
so a damaged module is refused with its name rather than read past its end."""
import struct

IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_FILE_DLL = 0x2000
SCN_CODE = 0x00000020
SCN_INITIALIZED = 0x00000040
SCN_UNINITIALIZED = 0x00000080
SCN_DISCARDABLE = 0x02000000
SCN_EXECUTE = 0x20000000
SCN_WRITE = 0x80000000
DIR_EXPORT, DIR_IMPORT, DIR_RESOURCE, DIR_EXCEPTION, DIR_RELOC = 0, 1, 2, 3, 5
REL_ABSOLUTE, REL_HIGHLOW = 0, 3


class PeError(Exception):
    pass


class Section:
    def __init__(self, name, vsize, rva, rawsize, rawptr, flags):
        self.name, self.vsize, self.rva, self.rawsize, self.rawptr, self.flags = (
            name, vsize, rva, rawsize, rawptr, flags)

    @property
    def span(self):
        return self.vsize or self.rawsize

    @property
    def writable(self):
        return bool(self.flags & SCN_WRITE)

    def holds(self, rva):
        return self.rva <= rva < self.rva + self.span


class PeFile:
    def __init__(self, path, data=None):
        self.path = path
        self.data = data if data is not None else open(path, "rb").read()
        self._parse()

    def fail(self, why):
        raise PeError(f"{self.path}: {why}")

    def u16(self, at):
        self._need(at, 2)
        return struct.unpack_from("<H", self.data, at)[0]

    def u32(self, at):
        self._need(at, 4)
        return struct.unpack_from("<I", self.data, at)[0]

    def _need(self, at, count):
        if at < 0 or at + count > len(self.data):
            self.fail(f"truncated (needs bytes at 0x{at:x})")

    def _parse(self):
        if self.data[:2] != b"MZ":
            self.fail("not a PE file (no MZ header)")
        self.header = self.u32(0x3C)
        if self.data[self.header:self.header + 4] != b"PE\0\0":
            self.fail("not a PE file (no PE signature)")
        coff = self.header + 4
        self.machine = self.u16(coff)
        count = self.u16(coff + 2)
        self.timestamp = self.u32(coff + 4)
        optional_size = self.u16(coff + 16)
        self.characteristics_at = coff + 18
        self.characteristics = self.u16(coff + 18)
        self.optional = coff + 20
        if self.u16(self.optional) != 0x10B:
            self.fail("not a 32-bit image")
        o = self.optional
        self.entry = self.u32(o + 16)
        self.image_base = self.u32(o + 28)
        self.section_alignment = self.u32(o + 32)
        self.subsystem_version_at = o + 48
        self.subsystem_version = (self.u16(o + 48), self.u16(o + 50))
        self.size_of_image = self.u32(o + 56)
        self.size_of_headers = self.u32(o + 60)
        self.subsystem = self.u16(o + 68)
        self.stack_reserve = self.u32(o + 72)
        directory_count = self.u32(o + 92)
        self.directories = [(self.u32(o + 96 + 8 * i), self.u32(o + 100 + 8 * i))
                            for i in range(min(directory_count, 16))]
        self.directories += [(0, 0)] * (16 - len(self.directories))
        table = o + optional_size
        self.sections = []
        for i in range(count):
            at = table + 40 * i
            self._need(at, 40)
            name = self.data[at:at + 8].rstrip(b"\0").decode("ascii", "replace")
            vsize, rva, rawsize, rawptr = struct.unpack_from("<IIII", self.data, at + 8)
            flags = self.u32(at + 36)
            if rawsize and rawptr + rawsize > len(self.data):
                self.fail(f"section {name}'s data runs past the end of the file")
            self.sections.append(Section(name, vsize, rva, rawsize, rawptr, flags))

    @property
    def is_dll(self):
        return bool(self.characteristics & IMAGE_FILE_DLL)

    def section_of(self, rva):
        for section in self.sections:
            if section.holds(rva):
                return section
        return None

    def section_bytes(self, section):
        """The section as it lies in memory: its file data, zero-filled to its span."""
        raw = self.data[section.rawptr:section.rawptr + min(section.rawsize, section.span)]
        return bytearray(raw) + bytearray(section.span - len(raw))

    def relocations(self):
        """The RVAs of the 32-bit addresses the base relocations move."""
        rva, size = self.directories[DIR_RELOC]
        targets = []
        end = rva + size
        while rva + 8 <= end:
            page, block = struct.unpack("<II", self.read_rva(rva, 8))
            if block < 8 or rva + block > end:
                self.fail(f"a base relocation block of 0x{block:x} bytes")
            entries = self.read_rva(rva + 8, block - 8)
            for i in range(0, len(entries) - 1, 2):
                value = struct.unpack_from("<H", entries, i)[0]
                kind = value >> 12
                if kind == REL_ABSOLUTE:
                    continue
                if kind != REL_HIGHLOW:
                    self.fail(f"base relocation type {kind}")
                targets.append(page + (value & 0xFFF))
            rva += block
        return targets

    def read_rva(self, rva, count):
        section = self.section_of(rva)
        if section is None:
            self.fail(f"RVA 0x{rva:x} lies in no section")
        data = self.section_bytes(section)
        start = rva - section.rva
        if start + count > len(data):
            self.fail(f"0x{count:x} bytes at RVA 0x{rva:x} run past section {section.name}")
        return bytes(data[start:start + count])
