#!/usr/bin/env python3
"""The real-kernel stage's own tools, without a kernel: registry text and
the hives written from it (read back by a reader written here from the
format's description), a module's relocation by the section its target
lies in, the scenario files, the program database's symbols, the runner's
reading of a log, and their refusals of bad input."""
import contextlib
import hashlib
import io
import os
import struct
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "ce5")
sys.path.insert(0, TOOLS)

import ce5_image  # noqa: E402
import ce5_run  # noqa: E402
import hive  # noqa: E402
import pdbsymbols  # noqa: E402
import scenario  # noqa: E402
from pefile import PeFile  # noqa: E402
from romlayout import Module  # noqa: E402


def read_hive(data):
    """{path: {value name: (type, bytes)}} of every key below the roots."""
    sections = []
    at = 0x1000
    while True:
        offset = struct.unpack_from("<I", data, at)[0]
        if offset == 0 and sections:
            break
        sections.append(offset)
        at += 4
    items = {}
    for section in sections:
        base = 0x5000 + section
        assert struct.unpack_from("<I", data, base)[0] == 0x20001004
        for slot in range(0x400):
            entry = struct.unpack_from("<I", data, base + 12 + 4 * slot)[0]
            if entry & 3 != 1:
                continue
            where = 0x5000 + (entry & 0x0FFFFFFC)
            head, _, ident = struct.unpack_from("<III", data, where)
            items[ident] = (head >> 28, data[where + 12:where + 12 + (head & 0x0FFFFFFF)])

    def walk(ident, path, out):
        while ident:
            kind, body = items[ident & 0x0FFFFFFF]
            assert kind == hive.ENTRY_KEY
            sibling, child, value, length = struct.unpack_from("<IIIB", body)
            key = path + "\\" + body[16:16 + 2 * length].decode("utf-16-le")
            values = out.setdefault(key, {})
            while value:
                kind, entry = items[value & 0x0FFFFFFF]
                assert kind == hive.ENTRY_VALUE
                value, value_type, size, name_length = struct.unpack_from("<IHHH", entry)
                name = entry[10:10 + 2 * name_length].decode("utf-16-le")
                values[name] = (value_type, entry[10 + 2 * name_length:10 + 2 * name_length + size])
            walk(child, key, out)
            ident = sibling
        return out

    roots = struct.unpack_from("<8I", items[0][1])
    return {root: walk(roots[index], root, {}) for root, index in (("HKCR", 0), ("HKCU", 1), ("HKLM", 2))}


REGISTRY_TEXT = r'''REGEDIT4
; HIVE BOOT SECTION
[HKEY_LOCAL_MACHINE\init\BootVars]
    "Start DevMgr"=dword:0
; END HIVE BOOT SECTION
[HKEY_LOCAL_MACHINE\System\State\Phone]
    "Status"=dword:20000000   ; talking
    "Name"="a;b \"quoted\" \\ end"
    "Raw"=hex:01,02,\
        ff
    "List"=multi_sz:"one","two"
[HKEY_CURRENT_USER\Keyboard Layout\Preload]
    @="00000409"
'''


class Hives(unittest.TestCase):
    def setUp(self):
        self.boot, self.system = hive.Registry(), hive.Registry()
        self.system.read(REGISTRY_TEXT, "test.reg", self.boot)

    def test_values_read_back_as_written(self):
        data = hive.write_hive(self.system, [hive.ROOTS["HKCR"], hive.ROOTS["HKLM"]])
        phone = read_hive(data)["HKLM"]["HKLM\\System\\State\\Phone"]
        self.assertEqual(phone["Status"], (hive.REG_DWORD, struct.pack("<I", 0x20000000)))
        self.assertEqual(phone["Name"], (hive.REG_SZ, 'a;b "quoted" \\ end\0'.encode("utf-16-le")))
        self.assertEqual(phone["Raw"], (hive.REG_BINARY, b"\x01\x02\xff"))
        self.assertEqual(phone["List"], (hive.REG_MULTI_SZ, "one\0two\0\0".encode("utf-16-le")))
        self.assertIn("HKLM\\init\\BootVars", read_hive(data)["HKLM"])

    def test_each_hive_holds_only_its_roots_and_the_boot_hive_only_its_section(self):
        user = read_hive(hive.write_hive(self.system, [hive.ROOTS["HKCU"]]))
        self.assertEqual(user["HKLM"], {})
        self.assertEqual(user["HKCU"]["HKCU\\Keyboard Layout\\Preload"]["Default"][1],
                         "00000409\0".encode("utf-16-le"))
        boot = read_hive(hive.write_hive(self.boot, [hive.ROOTS["HKLM"]]))["HKLM"]
        self.assertEqual(set(boot), {"HKLM\\init", "HKLM\\init\\BootVars"})

    def test_header_carries_size_digest_and_boot_digest(self):
        boot = hive.write_hive(self.boot, [hive.ROOTS["HKLM"]])
        system = hive.write_hive(self.system, [hive.ROOTS["HKLM"]], hive.file_md5(boot))
        self.assertEqual(system[8:12], b"EKIM")
        self.assertEqual(struct.unpack_from("<I", system, 0x20)[0], len(system))
        self.assertEqual(system[0x0C:0x1C], hashlib.md5(system[0xFC:]).digest())
        self.assertEqual(system[0x28:0x38], hive.file_md5(boot))
        # Two hives with the same digest would be taken for one volume.
        self.assertNotEqual(hive.file_md5(boot), hive.file_md5(system))

    def test_more_items_than_one_section_holds(self):
        many = hive.Registry()
        for i in range(0x500):
            many.set("HKLM\\Many", f"v{i}", hive.REG_DWORD, struct.pack("<I", i))
        values = read_hive(hive.write_hive(many, [hive.ROOTS["HKLM"]]))["HKLM"]["HKLM\\Many"]
        self.assertEqual(len(values), 0x500)
        self.assertEqual(values["v1279"][1], struct.pack("<I", 1279))

    def test_bad_text_is_refused_with_its_line(self):
        cases = [
            ('"Orphan"=dword:1', "test.reg:2: a value before any [key]"),
            ("[HKEY_NOWHERE\\x]", "test.reg:2: unknown root"),
            ("[HKLM\\x", "test.reg:2: a key line without its ']'"),
            ('[HKLM\\x]\n"v"=dword:zz', "test.reg:3: bad dword"),
            ('[HKLM\\x]\n"v"=dword:100000000', "test.reg:3: dword out of range"),
            ('[HKLM\\x]\n"v"=hex:1,g2', "test.reg:3: bad hex bytes"),
            ('[HKLM\\x]\n"v"=qword:1', "test.reg:3: unknown value form"),
            ('[HKLM\\x]\nv=dword:1', "test.reg:3: not a value line"),
            ("[HKLM\\" + "k" * 256 + "]", "test.reg:2: key name too long"),
        ]
        for text, message in cases:
            with self.subTest(text=text[:30]):
                with self.assertRaises(hive.RegError) as raised:
                    hive.Registry().read("REGEDIT4\n" + text, "test.reg")
                self.assertTrue(str(raised.exception).startswith(message), str(raised.exception))


def synthetic_library():
    """A PE library with .text at 0x1000 and .data at 0x2000 (base
    0x10000000): .text holds a pointer to itself, one to .data and one just
    past .data's end; .data one back to .text."""
    base = 0x10000000
    text = struct.pack("<III", base + 0x1010, base + 0x2008, base + 0x2100) + bytes(0x1F4)
    data = struct.pack("<I", base + 0x1004) + bytes(0xFC)
    relocs = struct.pack("<II", 0x1000, 14) + struct.pack("<HHH", 0x3000, 0x3004, 0x3008) + \
        struct.pack("<II", 0x2000, 10) + struct.pack("<H", 0x3000) + bytes(2)
    headers = bytearray(0x200)
    headers[0:2] = b"MZ"
    struct.pack_into("<I", headers, 0x3C, 0x40)
    headers[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", headers, 0x44, 0x01C0, 3, 0, 0, 0, 0xE0, 0x2102)
    optional = 0x58
    struct.pack_into("<H", headers, optional, 0x10B)
    struct.pack_into("<III", headers, optional + 28, base, 0x1000, 0x200)
    struct.pack_into("<HH", headers, optional + 48, 5, 0)
    struct.pack_into("<II", headers, optional + 56, 0x4000, 0x200)
    struct.pack_into("<I", headers, optional + 92, 16)
    struct.pack_into("<II", headers, optional + 96 + 8 * 5, 0x3000, len(relocs))
    table = optional + 0xE0
    sections = [(b".text", 0x1000, text, 0x60000020), (b".data", 0x2000, data, 0xC0000040),
                (b".reloc", 0x3000, relocs, 0x42000040)]
    body = bytearray()
    for i, (name, rva, content, flags) in enumerate(sections):
        pointer = 0x200 + len(body)
        body += content + bytes(-len(content) % 0x200)
        struct.pack_into("<8sIIIIIIHHI", headers, table + 40 * i, name, len(content), rva,
                         len(content) + (-len(content) % 0x200), pointer, 0, 0, 0, 0, flags)
    return PeFile("synthetic.dll", bytes(headers + body))


class Relocation(unittest.TestCase):
    def test_each_address_moves_with_the_section_it_points_into(self):
        module = Module("synthetic.dll", synthetic_library(), "library")
        self.assertEqual([p.section.name for p in module.sections], [".text", ".data"], "the table stays out")
        text, data = module.sections
        text.realaddr, data.realaddr = 0x03F01000, 0x01FFE000
        module.relocate()
        self.assertEqual(struct.unpack_from("<III", text.data), (0x03F01010, 0x01FFE008, 0x01FFE100))
        self.assertEqual(struct.unpack_from("<I", data.data)[0], 0x03F01004)


class Scenarios(unittest.TestCase):
    GOOD = ("[scenario]\nmodules = coredll.dll\nfiles = a.exe\nregistry = \nfolders = root:-Directory(\"Windows\")\n"
            "checks = a.one a.two\nend = ce5: scenario end\ntime limit = 60\n")

    def load(self, text):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "a.ini")
            with open(path, "w", encoding="utf-8") as out:
                out.write(text)
            return scenario.load(path)

    def test_a_good_scenario(self):
        plan = self.load(self.GOOD)
        self.assertEqual((plan.name, plan.checks, plan.time_limit), ("a", ["a.one", "a.two"], 60))
        self.assertEqual(plan.registry, [scenario.BASE_REGISTRY])

    def test_bad_scenarios_are_refused_naming_what(self):
        cases = [
            (self.GOOD.replace("time limit = 60", "time limit = soon"), "is not a number of seconds"),
            (self.GOOD.replace("time limit = 60", "time limit = 0"), "a time limit above 0"),
            (self.GOOD.replace("files = a.exe\n", ""), "no 'files' setting"),
            (self.GOOD + "colour = blue\n", "unknown setting 'colour'"),
            (self.GOOD.replace("a.two", "a.one"), "a check is listed twice"),
            (self.GOOD + "[other]\n", "exactly one section"),
            ("modules = x\n", "File contains no section headers"),
        ]
        for text, words in cases:
            with self.subTest(words=words):
                with self.assertRaises(scenario.ScenarioError) as raised:
                    self.load(text)
                self.assertIn(words, str(raised.exception))
                self.assertIn("a.ini", str(raised.exception))


class Symbols(unittest.TestCase):
    def test_a_public_symbols_rva_from_its_section_and_offset(self):
        pdb = pdbsymbols.MSF_SIGNATURE + bytes(40) + b"\x1a\x00\x0e\x11" + struct.pack("<IIH", 0, 0x8D2C, 1) + \
            b"pTOC\0" + b"\x1a\x00\x0e\x11" + struct.pack("<IIH", 0, 0x10, 2) + b"pTOCX\0"
        with tempfile.NamedTemporaryFile(suffix=".pdb") as out:
            out.write(pdb)
            out.flush()
            self.assertEqual(pdbsymbols.public_rva(out.name, synthetic_library(), "pTOC"), 0x1000 + 0x8D2C)
            with self.assertRaises(pdbsymbols.SymbolError):
                pdbsymbols.public_rva(out.name, synthetic_library(), "KernelStart")


class Runner(unittest.TestCase):
    LOG = ("Windows CE Kernel for ARM\n"
           "0x839b: ce5: check s.one: pass: it did\n"
           "0x839b: AddToProcessInputLocaleTable ... = 0x12340x839b: ce5: check s.two: FAIL: it did not\n"
           "0x839b: ce5: check s.dup: pass\n0x839b: ce5: check s.dup: pass\n")

    def run_command(self, *arguments, log=None):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "s.log")
            if log is not None:
                with open(path, "w", encoding="latin-1") as out:
                    out.write(log)
            output = io.StringIO()
            sys.argv = ["ce5_run.py"] + [a.replace("LOG", path) for a in arguments]
            with contextlib.redirect_stdout(output), contextlib.redirect_stderr(output):
                status = ce5_run.main()
            return status, output.getvalue().strip()

    def test_verdicts(self):
        stopped = self.LOG + "ce5-run: s: stopped: time limit of 60 s reached; first check after 1.0 s\n"
        cases = [
            ("s.one", 0, "s.one: pass: it did"),
            ("s.two", 1, "s.two: FAIL: it did not"),
            ("s.dup", 1, "s.dup: reported 2 times"),
            ("s.three", 1, "s.three: no result (s: stopped: time limit of 60 s reached; first check after 1.0 s; "
                           "the last line was 'ce5: check s.dup: pass')"),
        ]
        for check, status, words in cases:
            with self.subTest(check=check):
                self.assertEqual(self.run_command("verdict", "--log", "LOG", "--check", check, log=stopped),
                                 (status, words))

    def test_a_missing_log_is_named(self):
        status, output = self.run_command("verdict", "--log", "LOG", "--check", "s.one")
        self.assertEqual(status, 2)
        self.assertIn("no log (the scenario's boot test did not run)", output)

    def test_boot_without_a_module_set_says_so(self):
        os.environ.pop("DEVICELOCK_CE5_MODULES", None)
        with tempfile.TemporaryDirectory() as folder:
            plan = os.path.join(folder, "s.ini")
            with open(plan, "w", encoding="utf-8") as out:
                out.write(Scenarios.GOOD)
            status, output = self.run_command("boot", "--scenario", plan, "--files", folder, "--work", folder)
        self.assertEqual(status, 2)
        self.assertIn("no module set", output)


class Image(unittest.TestCase):
    def test_a_missing_module_or_file_is_named(self):
        with tempfile.TemporaryDirectory() as folder:
            os.makedirs(os.path.join(folder, "modules"))
            plan = scenario.load(os.path.join(os.path.dirname(os.path.abspath(__file__)), "loader.ini"))
            with self.assertRaises(ce5_image.ImageError) as raised:
                ce5_image.build(folder, plan, [folder])
            self.assertIn(f"module set {folder}: modules/kern.pdb is missing", str(raised.exception))
            with self.assertRaises(ce5_image.ImageError) as raised:
                ce5_image.find_file([folder], "tallowbeck.dll")
            self.assertIn("tallowbeck.dll is in none of", str(raised.exception))

    def test_the_command_refuses_in_one_line(self):
        result = subprocess.run([sys.executable, os.path.join(TOOLS, "ce5_image.py"), "--modules", "/nowhere",
                                 "--scenario", "/nowhere/a.ini", "--files", "/nowhere", "--out", "/nowhere/x"],
                                capture_output=True, text=True)
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stderr.count("\n"), 1, result.stderr)
        self.assertEqual(result.stdout, "")


if __name__ == "__main__":
    unittest.main()
