#!/usr/bin/env python3
"""Builds a Windows CE 5.0 image that the Mainstone II kernel boots from RAM.

    ce5_image.py --modules DIR --scenario FILE --files DIR [--files DIR...] --out IMAGE

DIR holds the module set: modules/ (kern.exe with kern.pdb, coredll.dll,
filesys.exe, the drivers), wince.nls.compressed and bootargs.bin. The
scenario names the modules it needs, its registry and the files it adds
(found in the --files folders). IMAGE is written with IMAGE.json beside it:
where to load it and where the kernel starts.

A missing module or file, or a scenario that does not parse, ends it with
one line naming it and exit 2; nothing is written then.
"""
import argparse
import json
import os
import sys

sys.dont_write_bytecode = True  # nothing written into the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import hive  # noqa: E402
import pdbsymbols  # noqa: E402
import scenario as scenarios  # noqa: E402
from pefile import PeError, PeFile  # noqa: E402
from romlayout import RomImage  # noqa: E402

# The board: the kernel's address table maps 0x80000000 to RAM at physical
# 0xA0000000 (64 MB); the boot loader's arguments lie at 0x800FF000; the
# display driver addresses RAM from physical 0xA3A00000 up itself, so the
# kernel is given none of it.
IMAGE_START = 0x80100000
RAM_END = 0x83A00000
PHYSICAL_OFFSET = 0x20000000
# ROM files: read-only, hidden, system, as platform files are; ours are only
# read-only, or the shell refuses to start them by path (access denied).
PLATFORM_FILE = 0x7
OUR_FILE = 0x1
COMPRESSED = 0x800
# The locale tables the module set carries in the ROM's compressed form.
NLS_FILE, NLS_SIZE = "wince.nls.compressed", 651642
KERNEL, KERNEL_SYMBOLS = "kern.exe", "kern.pdb"
# Fixed: an image built twice is the same, byte for byte.
FILE_TIME = 0x01C8A0B0_00000000


class ImageError(Exception):
    pass


def module_path(module_set, name, folder="modules"):
    path = os.path.join(module_set, folder, name)
    if not os.path.isfile(path):
        raise ImageError(f"module set {module_set}: {os.path.join(folder, name)} is missing")
    return path


def find_file(folders, name):
    for folder in folders:
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            return path
    raise ImageError(f"{name} is in none of {', '.join(folders)} (the scenario adds it)")


def build(modules, plan, folders):
    toc_rva = pdbsymbols.public_rva(module_path(modules, KERNEL_SYMBOLS), PeFile(module_path(modules, KERNEL)),
                                    "pTOC")
    image = RomImage(IMAGE_START, RAM_END, file_time=FILE_TIME)
    image.add_module("nk.exe", PeFile(module_path(modules, KERNEL)), "kernel")
    for name in plan.modules:
        pe = PeFile(module_path(modules, name))
        image.add_module(name, pe, "library" if pe.is_dll else "program")
    boot, system = hive.Registry(), hive.Registry()
    for path in plan.registry:
        system.read(read_text(path), path, boot)
    boot_hive = hive.write_hive(boot, [hive.ROOTS["HKLM"]])
    boot_md5 = hive.file_md5(boot_hive)
    image.add_file("boot.hv", boot_hive, PLATFORM_FILE)
    image.add_file("default.hv", hive.write_hive(system, [hive.ROOTS["HKCR"], hive.ROOTS["HKLM"]], boot_md5),
                   PLATFORM_FILE)
    image.add_file("user.hv", hive.write_hive(system, [hive.ROOTS["HKCU"]], boot_md5), PLATFORM_FILE)
    with open(module_path(modules, NLS_FILE, ""), "rb") as nls:
        image.add_file("wince.nls", nls.read(), PLATFORM_FILE | COMPRESSED, NLS_SIZE)
    image.add_file("initobj.dat", "\r\n".join(plan.folders + [""]).encode("utf-16-le"), PLATFORM_FILE)
    for name in plan.files:
        with open(find_file(folders, name), "rb") as data:
            image.add_file(name, data.read(), OUR_FILE)
    rom, where = image.build(toc_rva)
    where["load"] = where["start"] + PHYSICAL_OFFSET
    where["physical_entry"] = where["entry"] + PHYSICAL_OFFSET
    return rom, where


def read_text(path):
    try:
        with open(path, encoding="utf-8-sig") as text:
            return text.read()
    except OSError as error:
        raise ImageError(f"{path}: {error.strerror}") from None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--modules", required=True, help="the module set's folder (modules/, wince.nls.compressed)")
    parser.add_argument("--scenario", required=True, help="the scenario file")
    parser.add_argument("--files", required=True, action="append",
                        help="a folder holding files the scenario adds (repeat: searched in order)")
    parser.add_argument("--out", required=True, help="the image to write")
    args = parser.parse_args()
    try:
        plan = scenarios.load(args.scenario)
        rom, where = build(args.modules, plan, args.files)
    except (ImageError, PeError, hive.RegError, scenarios.ScenarioError, pdbsymbols.SymbolError) as error:
        print(f"ce5_image: {error}", file=sys.stderr)
        return 2
    with open(args.out, "wb") as out:
        out.write(rom)
    with open(args.out + ".json", "w", encoding="utf-8") as out:
        json.dump(where, out, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
