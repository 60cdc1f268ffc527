"""Lays out a Windows CE 5.0 image that the kernel runs from RAM: modules
executing in place with the table of contents the kernel reads, and plain
files in the ROM's file list.

Where things go (virtual addresses; the kernel's own address table maps
0x80000000 to the board's RAM):
  - the kernel executes in place; its writable sections are copied into RAM
    at start-up (the copy entries), its first one on a 16 KB boundary, as the
    kernel builds its first-level page table there;
  - a program's sections keep their own addresses (base + RVA) in the
    process slot the kernel maps them into;
  - a library's read-only sections execute in place in slot 1, packed down
    from 0x04000000; each writable section is copied into every process,
    packed down from 0x02000000.
Every base relocation of a module is applied here, by the move of the
section its target lies in; the table of contents carries no relocations.
"""
import struct

from pefile import DIR_RELOC, SCN_DISCARDABLE, PeError

PAGE = 0x1000
SLOT1_TOP = 0x04000000
DLL_DATA_TOP = 0x02000000
E32_UNITS = 9  # exports, imports, resources, exceptions, security, fixups, debug, description, machine
E32_BYTES = 0x6E
O32_BYTES = 24
ROMHDR_BYTES = 0x54
TOC_ENTRY_BYTES = 32
FILES_ENTRY_BYTES = 28
ROM_SIGNATURE = b"ECEC"


def align(value, boundary):
    return (value + boundary - 1) // boundary * boundary


class Placed:
    """A section as the image has it: where its bytes lie and where it runs."""

    def __init__(self, section, data):
        self.section = section
        self.data = data
        self.dataptr = 0
        self.realaddr = 0

    def move(self, image_base):
        return self.realaddr - (image_base + self.section.rva)


class Module:
    def __init__(self, name, pe, kind):
        self.name, self.pe, self.kind = name, pe, kind
        # The relocations are applied here: a discardable section that holds
        # their table needs no place in the image.
        reloc_rva = pe.directories[DIR_RELOC][0]
        self.sections = [Placed(s, pe.section_bytes(s)) for s in pe.sections
                         if not (reloc_rva and s.rva == reloc_rva and s.flags & SCN_DISCARDABLE)]
        self.vbase = 0
        self.e32 = self.o32 = self.name_at = 0

    def target_section(self, rva):
        """The section an address points into; one that points just past a
        section's end belongs to it (the end of an array)."""
        best = None
        for placed in self.sections:
            if placed.section.rva <= rva < placed.section.rva + align(placed.section.span, PAGE):
                return placed
            if placed.section.rva <= rva:
                best = placed
        return best or self.sections[0]

    def relocate(self):
        pe = self.pe
        for rva in pe.relocations():
            site = next((p for p in self.sections if p.section.holds(rva)), None)
            if site is None:
                continue  # a fixup in the relocation table itself, or in the headers
            at = rva - site.section.rva
            if at + 4 > len(site.data):
                raise PeError(f"{pe.path}: a base relocation at 0x{rva:x} runs past its section")
            value = struct.unpack_from("<I", site.data, at)[0]
            target = self.target_section((value - pe.image_base) & 0xFFFFFFFF)
            value = (value + target.move(pe.image_base)) & 0xFFFFFFFF
            struct.pack_into("<I", site.data, at, value)


class RomFile:
    def __init__(self, name, data, attributes, real_size=None):
        self.name, self.data, self.attributes = name, data, attributes
        self.real_size = real_size if real_size is not None else len(data)
        self.at = self.name_at = 0


class RomImage:
    def __init__(self, start, ram_end, kernel_flags=0, fs_ram_percent=0x20202020, file_time=0):
        self.start, self.ram_end = start, ram_end
        self.kernel_flags, self.fs_ram_percent, self.file_time = kernel_flags, fs_ram_percent, file_time
        self.modules, self.files = [], []

    def add_module(self, name, pe, kind):
        """KIND: 'kernel' (the first module), 'program' or 'library'."""
        if (kind == "kernel") != (not self.modules):
            raise PeError(f"{pe.path}: the kernel must be the image's first module, and only it")
        self.modules.append(Module(name, pe, kind))

    def add_file(self, name, data, attributes, real_size=None):
        self.files.append(RomFile(name, data, attributes, real_size))

    @property
    def kernel(self):
        return self.modules[0]

    def build(self, toc_rva):
        """The image's bytes (from START) and where its parts lie. TOC_RVA:
        the kernel's pTOC, which is made to point at the table of contents."""
        if not self.modules:
            raise PeError("an image needs a kernel")
        self._place_run_addresses()
        layout = self._place_in_rom()
        ram_start, ram_free = self._place_in_ram(layout["end"])
        for module in self.modules:
            module.relocate()
        rom = bytearray(layout["end"] - self.start)
        for module in self.modules:
            for placed in module.sections:
                if placed.dataptr:
                    raw = placed.data[:self._rom_bytes(placed)]
                    offset = placed.dataptr - self.start
                    rom[offset:offset + len(raw)] = raw
        for item in self.files:
            rom[item.at - self.start:item.at - self.start + len(item.data)] = item.data
        for named in self.modules + self.files:
            text = named.name.encode("ascii") + b"\0"
            rom[named.name_at - self.start:named.name_at - self.start + len(text)] = text
        for module in self.modules:
            self._write(rom, module.e32, self._e32(module))
            self._write(rom, module.o32, b"".join(self._o32(p) for p in module.sections))
        copies = self._copies()
        self._write(rom, layout["copies"], b"".join(struct.pack("<IIII", *c) for c in copies))
        dll_code_low = min([m.vbase for m in self.modules if m.kind == "library"] + [SLOT1_TOP])
        dll_data_low = min([p.realaddr for m in self.modules if m.kind == "library"
                            for p in m.sections if p.section.writable] + [DLL_DATA_TOP])
        header = struct.pack(
            "<IIIIIIIIIIIIIIIIIHHIII",
            # Packed: the lowest library data address, reserved up to
            # dlllast in the kernel (high half) and in every new process (low
            # half, in 64 KB units). The code's range is the kernel's to find.
            (dll_data_low & 0xFFFF0000) | (dll_data_low >> 16), DLL_DATA_TOP,
            self.start, layout["end"], len(self.modules),
            ram_start, ram_free, self.ram_end,
            len(copies), layout["copies"], 0, 0, len(self.files),
            self.kernel_flags, self.fs_ram_percent, 0, 0,
            self.kernel.pe.machine, 0, 0, 0, 0)
        entries = b"".join(self._toc_entry(m) for m in self.modules)
        entries += b"".join(self._files_entry(f) for f in self.files)
        self._write(rom, layout["toc"], header + entries)
        self._patch_kernel(rom, toc_rva, layout["toc"])
        # Boot loaders find the table through the signature.
        rom[0x40:0x4C] = ROM_SIGNATURE + struct.pack("<II", layout["toc"], layout["toc"] - self.start)
        return bytes(rom), {
            "start": self.start, "end": layout["end"], "toc": layout["toc"],
            "entry": self.kernel.vbase + self.kernel.pe.entry,
            "ram_start": ram_start, "ram_free": ram_free, "ram_end": self.ram_end}

    def _write(self, rom, at, data):
        rom[at - self.start:at - self.start + len(data)] = data

    def _place_run_addresses(self):
        dll_top, data_top = SLOT1_TOP, DLL_DATA_TOP
        rom_cursor = align(self.start + PAGE, 0x10000)
        for module in self.modules:
            pe = module.pe
            if module.kind == "kernel":
                module.vbase = rom_cursor
                for placed in module.sections:
                    if not placed.section.writable:
                        placed.realaddr = placed.dataptr = module.vbase + placed.section.rva
            elif module.kind == "program":
                module.vbase = pe.image_base
                for placed in module.sections:
                    placed.realaddr = pe.image_base + placed.section.rva
            else:
                dll_top -= align(pe.size_of_image, 0x10000)
                module.vbase = dll_top
                for placed in module.sections:
                    if placed.section.writable:
                        data_top -= align(placed.section.span, PAGE)
                        placed.realaddr = data_top
                    else:
                        placed.realaddr = module.vbase + placed.section.rva

    @staticmethod
    def _rom_bytes(placed):
        return min(placed.section.rawsize, len(placed.data))

    def _place_in_rom(self):
        cursor = self.kernel.vbase + align(self.kernel.pe.size_of_image, PAGE)

        def take(count, boundary=4):
            nonlocal cursor
            cursor = align(cursor, boundary)
            at = cursor
            cursor += count
            return at

        # Each section on pages of its own, so that the kernel can map it where it runs.
        for module in self.modules:
            for placed in module.sections:
                if placed.dataptr == 0 and self._rom_bytes(placed):
                    placed.dataptr = take(self._rom_bytes(placed), PAGE)
        for item in self.files:
            item.at = take(len(item.data))
        for named in self.modules + self.files:
            named.name_at = take(len(named.name) + 1)
        for module in self.modules:
            module.e32 = take(E32_BYTES)
            module.o32 = take(O32_BYTES * len(module.sections))
        copies = take(16 * len(self._ram_sections()))
        toc = take(ROMHDR_BYTES + TOC_ENTRY_BYTES * len(self.modules) + FILES_ENTRY_BYTES * len(self.files))
        return {"copies": copies, "toc": toc, "end": align(cursor, 4)}

    def _ram_sections(self):
        return [p for p in self.kernel.sections if p.section.writable]

    def _place_in_ram(self, image_end):
        start = ram = align(image_end, 0x10000)
        for index, placed in enumerate(self._ram_sections()):
            # The first holds the kernel's first-level page table.
            ram = align(ram, 0x4000 if index == 0 else PAGE)
            placed.realaddr = ram
            ram += align(placed.section.span, PAGE)
        return start, align(ram, PAGE)

    def _copies(self):
        return [(p.dataptr, p.realaddr, self._rom_bytes(p), p.section.span)
                for p in self._ram_sections() if p.dataptr]

    def _patch_kernel(self, rom, toc_rva, toc_at):
        placed = self.kernel.target_section(toc_rva)
        if placed.section.writable or not placed.section.holds(toc_rva):
            raise PeError(f"{self.kernel.pe.path}: pTOC at 0x{toc_rva:x} is not in a read-only section")
        struct.pack_into("<I", rom, placed.realaddr + (toc_rva - placed.section.rva) - self.start, toc_at)

    def _e32(self, module):
        pe = module.pe
        # The relocations are applied: the kernel finds none to apply again.
        units = b"".join(struct.pack("<II", *pe.directories[i]) if i != DIR_RELOC else bytes(8)
                         for i in range(E32_UNITS))
        com_rva, com_size = pe.directories[14]
        return struct.pack("<HHIIHHIIIII", len(module.sections), pe.characteristics, pe.entry, module.vbase,
                           pe.subsystem_version[0], pe.subsystem_version[1], pe.stack_reserve,
                           pe.size_of_image, com_rva, com_size, pe.timestamp) + units + \
            struct.pack("<H", pe.subsystem)

    def _o32(self, placed):
        s = placed.section
        return struct.pack("<IIIIII", s.vsize, s.rva, self._rom_bytes(placed) if placed.dataptr else 0,
                           placed.dataptr, placed.realaddr, s.flags)

    def _toc_entry(self, module):
        return struct.pack("<IQIIIII", 0x7, self.file_time, len(module.pe.data), module.name_at,
                           module.e32, module.o32, module.vbase)

    def _files_entry(self, item):
        return struct.pack("<IQIIII", item.attributes, self.file_time, item.real_size,
                           len(item.data), item.name_at, item.at)
