"""A public symbol's address from a program database (PDB 7.00, as the CE 5.0
build tools wrote it): the symbol records are found by their form, a
S_PUB32 record (kind 0x110E) with flags, offset, section number and the
NUL-terminated name, without reading the rest of the file's streams."""
import re
import struct

MSF_SIGNATURE = b"Microsoft C/C++ MSF 7.00\r\n\x1aDS\0\0\0"
S_PUB32 = b"\x0e\x11"


class SymbolError(Exception):
    pass


def public_rva(pdb_path, pe, name):
    """The RVA of public symbol NAME of PE, from its program database."""
    with open(pdb_path, "rb") as pdb:
        data = pdb.read()
    if not data.startswith(MSF_SIGNATURE):
        raise SymbolError(f"{pdb_path}: not a program database (MSF 7.00)")
    pattern = re.compile(re.escape(S_PUB32) + rb"(.{4})(.{4})(.{2})" + re.escape(name.encode("ascii")) + rb"\0",
                         re.S)
    found = set()
    for match in pattern.finditer(data):
        offset = struct.unpack("<I", match.group(2))[0]
        section = struct.unpack("<H", match.group(3))[0]
        if 1 <= section <= len(pe.sections):
            found.add(pe.sections[section - 1].rva + offset)
    if len(found) != 1:
        raise SymbolError(f"{pdb_path}: {'no' if not found else 'more than one'} public symbol {name}")
    return found.pop()
