"""Registry text (.reg) read into keys and values, and written as the hive
files a Windows CE 5.0 file system mounts: the 'MIKE' volume layout, with a
roots record pointing at each root's first key, keys linked by first child
and next sibling, values by next value.

Text accepted: a 'REGEDIT4' or 'Windows Registry Editor' line, comments
after ';', [ROOT\\path] lines, and "name"= (or @=) values of the forms
"text", dword:HEX, hex:BYTES, hex(7):BYTES (multi_sz), multi_sz:"a","b";
a line ending in '\\' continues. Anything else is refused with its line.
"""
import hashlib
import re
import struct

ROOTS = {"HKEY_CLASSES_ROOT": 0, "HKCR": 0, "HKEY_CURRENT_USER": 1, "HKCU": 1,
         "HKEY_LOCAL_MACHINE": 2, "HKLM": 2, "HKEY_USERS": 3, "HKU": 3}
REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ = 1, 2, 3, 4, 7
ENTRY_ROOTS, ENTRY_KEY, ENTRY_VALUE = 0xB, 0xC, 0xD
ID_FLAG = 0x20000000
ITEMS_PER_SECTION = 0x400
DATA_START = 0x5000
# Longest names the format carries (its length fields).
MOST_KEY_NAME = 255
MOST_VALUE_NAME = 0xFFFF


class RegError(Exception):
    pass


class Key:
    def __init__(self, name):
        self.name = name
        self.children = {}  # lower-case name -> Key, in insertion order
        self.values = {}    # lower-case name -> (name, type, bytes)

    def child(self, name):
        if len(name) > MOST_KEY_NAME:
            raise RegError(f"key name too long: {name[:40]}...")
        return self.children.setdefault(name.lower(), Key(name))


class Registry:
    def __init__(self):
        self.roots = [Key(""), Key(""), Key(""), Key("")]

    def key(self, path):
        root_name, _, rest = path.partition("\\")
        if root_name.upper() not in ROOTS:
            raise RegError(f"unknown root {root_name!r}")
        key = self.roots[ROOTS[root_name.upper()]]
        for part in filter(None, rest.split("\\")):
            key = key.child(part)
        return key

    def set(self, path, name, kind, data):
        self.key(path).values[name.lower()] = (name, kind, data)

    def read(self, text, origin, boot=None):
        """Adds the keys and values of TEXT (ORIGIN names it in errors).
        What lies between '; HIVE BOOT SECTION' and '; END HIVE BOOT
        SECTION' also goes into BOOT, the registry the system has before
        its system hive is mounted."""
        current = None
        in_boot = False
        for number, line, raw in _logical_lines(text):
            where = f"{origin}:{number}"
            marker = raw.lstrip("; \t").upper()
            if raw.startswith(";") and marker in ("HIVE BOOT SECTION", "END HIVE BOOT SECTION"):
                in_boot = marker == "HIVE BOOT SECTION"
                continue
            if not line or line == "REGEDIT4" or line.startswith("Windows Registry Editor"):
                continue
            if line.startswith("["):
                if not line.endswith("]"):
                    raise RegError(f"{where}: a key line without its ']'")
                path = line[1:-1].strip().rstrip("\\")
                try:
                    self.key(path)
                except RegError as error:
                    raise RegError(f"{where}: {error}") from None
                current = path
                if in_boot and boot is not None:
                    boot.key(path)
                continue
            if current is None:
                raise RegError(f"{where}: a value before any [key]")
            try:
                name, kind, data = _value(line)
            except RegError as error:
                raise RegError(f"{where}: {error}") from None
            self.set(current, name, kind, data)
            if in_boot and boot is not None:
                boot.set(current, name, kind, data)


def _logical_lines(text):
    pending, start = "", 0
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.strip()
        if not pending:
            start = number
        if line.endswith("\\") and not line.startswith("["):
            pending += line[:-1]
            continue
        yield start, _strip_comment(pending + line), pending + line
        pending = ""
    if pending:
        yield start, _strip_comment(pending), pending


def _strip_comment(line):
    quoted = False
    for i, c in enumerate(line):
        if c == '"' and (i == 0 or line[i - 1] != "\\"):
            quoted = not quoted
        elif c == ";" and not quoted:
            return line[:i].rstrip()
    return line


def _string(text):
    if len(text) < 2 or text[0] != '"' or text[-1] != '"':
        raise RegError(f"not a quoted string: {text}")
    return text[1:-1].replace('\\"', '"').replace("\\\\", "\\")


def _utf16z(text):
    return text.encode("utf-16-le") + b"\0\0"


def _hex_bytes(text):
    text = text.replace(" ", "")
    if not text:
        return b""
    try:
        return bytes(int(b, 16) for b in text.split(","))
    except ValueError:
        raise RegError(f"bad hex bytes: {text}") from None


def _value(line):
    match = re.match(r'^(@|"(?:[^"\\]|\\.)*")\s*=\s*(.*)$', line)
    if not match:
        raise RegError(f"not a value line: {line}")
    name = "Default" if match.group(1) == "@" else _string(match.group(1))
    if len(name) > MOST_VALUE_NAME:
        raise RegError("value name too long")
    data = match.group(2).strip()
    lower = data.lower()
    if data.startswith('"'):
        return name, REG_SZ, _utf16z(_string(data))
    if lower.startswith("dword:"):
        try:
            value = int(data[6:].strip(), 16)
        except ValueError:
            raise RegError(f"bad dword: {data}") from None
        if not 0 <= value <= 0xFFFFFFFF:
            raise RegError(f"dword out of range: {data}")
        return name, REG_DWORD, struct.pack("<I", value)
    if lower.startswith("hex(7):"):
        return name, REG_MULTI_SZ, _hex_bytes(data[7:])
    if lower.startswith("hex(2):"):
        return name, REG_EXPAND_SZ, _hex_bytes(data[7:])
    if lower.startswith("hex:"):
        return name, REG_BINARY, _hex_bytes(data[4:])
    if lower.startswith("multi_sz:"):
        parts = re.findall(r'"(?:[^"\\]|\\.)*"', data[9:])
        return name, REG_MULTI_SZ, b"".join(_utf16z(_string(p)) for p in parts) + b"\0\0"
    raise RegError(f"unknown value form: {data}")


def _entry(kind, ident, body):
    return struct.pack("<III", (kind << 28) | len(body), 0, ident) + body


def _pad(data, boundary=4):
    return data + bytes(-len(data) % boundary)


def _ref(ident):
    return ident | ID_FLAG if ident else 0


def write_hive(registry, roots, boot_md5=bytes(16)):
    """A hive file holding ROOTS (indices of registry.roots) of REGISTRY."""
    items = [None]  # item 0: the roots record, written last

    def add_key(key, next_sibling):
        ident = len(items)
        items.append(None)
        first_child = 0
        children = list(key.children.values())
        # Children are linked first-to-last: written last-to-first so each knows its next.
        following = 0
        for child in reversed(children):
            following = add_key(child, following)
        first_child = following
        first_value = 0
        for name, kind, data in reversed(list(key.values.values())):
            value_id = len(items)
            encoded = name.encode("utf-16-le")
            body = struct.pack("<IHHH", _ref(first_value), kind, len(data), len(name)) + encoded + data
            items.append(_entry(ENTRY_VALUE, value_id, _pad(body)))
            first_value = value_id
        encoded = key.name.encode("utf-16-le")
        body = struct.pack("<IIIBBH", _ref(next_sibling), _ref(first_child), _ref(first_value),
                           len(key.name), 0, 0) + encoded
        items[ident] = _entry(ENTRY_KEY, ident, _pad(body))
        return ident

    firsts = [0] * 8
    for root in roots:
        following = 0
        for child in reversed(list(registry.roots[root].children.values())):
            following = add_key(child, following)
        firsts[root] = _ref(following)
    items[0] = _entry(ENTRY_ROOTS, 0, struct.pack("<8I", *firsts))
    return _volume(items, boot_md5)


def _volume(items, boot_md5):
    body = bytearray()
    section_offsets = []
    for first in range(0, len(items), ITEMS_PER_SECTION):
        chunk = items[first:first + ITEMS_PER_SECTION]
        section_offsets.append(len(body))
        header = struct.pack("<III", 0x20001004, 0, first // ITEMS_PER_SECTION)
        table_at = len(body) + len(header)
        data = bytearray(struct.pack("<I", len(chunk) if len(chunk) < ITEMS_PER_SECTION else 0))
        offsets = []
        cursor = table_at + 4 * ITEMS_PER_SECTION + 4
        for item in chunk:
            offsets.append(cursor + len(data) - 4 + 1)
            data += item
        # Free slots chain to each other; the last ends the chain.
        table = [offsets[j] if j < len(offsets) else ((j + 1) * 0x40000 if j < ITEMS_PER_SECTION - 1 else 0)
                 for j in range(ITEMS_PER_SECTION)]
        body += header + struct.pack(f"<{ITEMS_PER_SECTION}I", *table) + data
    body += bytes(-(DATA_START + len(body)) % 0x1000)
    image = bytearray(DATA_START) + body
    struct.pack_into("<III", image, 0, 0x400, 0, 0x4D494B45)
    struct.pack_into("<II", image, 0x1C, 0, len(image))
    struct.pack_into("<I", image, 0x24, 0)
    image[0x28:0x38] = boot_md5
    struct.pack_into("<I", image, 0xE4, 0x01025000)
    struct.pack_into("<I", image, 0xEC, 0xFFFFFFFF)
    for i, offset in enumerate(section_offsets):
        struct.pack_into("<I", image, 0x1000 + 4 * i, offset)
    image[0x0C:0x1C] = hashlib.md5(bytes(image[0xFC:])).digest()
    return bytes(image)


def file_md5(hive):
    return hive[0x0C:0x1C]
