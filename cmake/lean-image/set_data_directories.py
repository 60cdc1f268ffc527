#!/usr/bin/env python3
"""Writes the export, import, resource and base relocation directories of a
PE file linked with device-image.ld, from the linker map's symbols: ld sets
these directories only for sections of their own names, which that layout
folds into the code and data sections. A file with base relocations loses
the "relocations stripped" mark that ld gives it for the same reason.

usage: set_data_directories.py MAP PE-FILE
"""
import re
import struct
import sys

# Directory index in the optional header, by the symbols' middle name.
DIRECTORIES = {"exports": 0, "imports": 1, "resources": 2, "relocations": 5}
IMAGE_FILE_RELOCS_STRIPPED = 0x0001


def fail(message):
    sys.exit(f"set_data_directories.py: {message}")


def read_symbols(map_path):
    symbols = {}
    pattern = re.compile(r"^\s*0x([0-9a-fA-F]+)\s+__device_(\w+?)_(start|end)__ = \.")
    with open(map_path, encoding="utf-8", errors="replace") as lines:
        for line in lines:
            match = pattern.match(line)
            if match:
                symbols[(match.group(2), match.group(3))] = int(match.group(1), 16)
    return symbols


def main():
    if len(sys.argv) != 3:
        fail("usage: set_data_directories.py MAP PE-FILE")
    map_path, pe_path = sys.argv[1:]
    symbols = read_symbols(map_path)
    with open(pe_path, "r+b") as pe:
        image = bytearray(pe.read())
        (header,) = struct.unpack_from("<I", image, 0x3C)
        if image[header:header + 4] != b"PE\0\0":
            fail(f"{pe_path}: not a PE file")
        optional = header + 24
        (magic,) = struct.unpack_from("<H", image, optional)
        if magic == 0x10B:
            (image_base,) = struct.unpack_from("<I", image, optional + 28)
            count_at, directories_at = optional + 92, optional + 96
        elif magic == 0x20B:
            (image_base,) = struct.unpack_from("<Q", image, optional + 24)
            count_at, directories_at = optional + 108, optional + 112
        else:
            fail(f"{pe_path}: unknown optional header 0x{magic:x}")
        (count,) = struct.unpack_from("<I", image, count_at)
        relocated = False
        for name, index in DIRECTORIES.items():
            if (name, "start") not in symbols or (name, "end") not in symbols:
                fail(f"{map_path}: no __device_{name}_start__/__device_{name}_end__ (not linked with device-image.ld?)")
            if index >= count:
                fail(f"{pe_path}: only {count} data directories")
            start, end = symbols[(name, "start")], symbols[(name, "end")]
            size = end - start
            rva = start - image_base if size > 0 else 0
            struct.pack_into("<II", image, directories_at + 8 * index, rva, size)
            relocated = relocated or (name == "relocations" and size > 0)
        # ld marks the file "relocations stripped" when it finds no section
        # named .reloc; a loader would then refuse to move it.
        if relocated:
            (characteristics,) = struct.unpack_from("<H", image, header + 22)
            struct.pack_into("<H", image, header + 22, characteristics & ~IMAGE_FILE_RELOCS_STRIPPED)
        pe.seek(0)
        pe.write(image)


if __name__ == "__main__":
    main()
