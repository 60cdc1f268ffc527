"""The assembly translation, case by case: what it makes of the ELF
compiler's directives and sections, and what it refuses, naming it."""
import sys
import unittest
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "cmake" / "armv4i"))
import pe_assembly  # noqa: E402

FUNCTION = "\t.text\n\t.global\tf\nf:\n\tbx\tlr\n"


class Translation(unittest.TestCase):
    def test_sections_and_directives(self):
        cases = [
            ('\t.section\t.rodata.str1.1,"aMS",%progbits,1\n', '\t.section .rdata.str1.1,"dr"'),
            ('\t.section\t.rodata\n', '\t.section .rdata,"dr"'),
            ('\t.section\t.data.g_state,"aw"\n', '\t.section .data.g_state,"dw"'),
            ('\t.section\t.bss.g_count,"aw",%nobits\n', '\t.section .bss.g_count,"b"'),
            ('\t.section\t.text.f,"ax",%progbits\n', '\t.section .text.f,"xr"'),
            ('\t.section\t.data.rel.ro.local,"aw"\n', '\t.section .rdata.local,"dr"'),
        ]
        for elf, pe in cases:
            with self.subTest(elf=elf.strip()):
                self.assertEqual(pe_assembly.translate(elf).strip("\n"), pe)

    def test_elf_only_directives_are_dropped(self):
        text = ('\t.eabi_attribute 20, 1\n\t.fpu softvfp\n\t.type\tf, %function\n' + FUNCTION +
                '\t.size\tf, .-f\n\t.ident\t"GCC"\n\t.section\t.note.GNU-stack,"",%progbits\n')
        out = pe_assembly.translate(text)
        for dropped in (".eabi_attribute", ".fpu", ".type", ".size", ".ident", "GNU-stack"):
            self.assertNotIn(dropped, out)
        self.assertIn("bx\tlr", out)

    def test_comdat_becomes_one_linkonce_definition(self):
        text = ('\t.section\t.text._Z4Bindv,"axG",%progbits,_Z4Bindv,comdat\n\t.weak\t_Z4Bindv\n'
                '_Z4Bindv:\n\tbx\tlr\n')
        out = pe_assembly.translate(text)
        self.assertIn('.section .text._Z4Bindv,"xr"\n\t.linkonce discard', out)
        self.assertIn(".global\t_Z4Bindv", out)
        self.assertNotIn(".weak", out)

    def test_pushed_section_comes_back(self):
        text = ('\t.section\t.text.f,"ax",%progbits\n\t.pushsection\t.rodata\n\t.word\t1\n\t.popsection\n'
                '\tbx\tlr\n')
        out = pe_assembly.translate(text).split("\n")
        self.assertEqual(out[out.index('\t.section .rdata,"dr"') + 2], '\t.section .text.f,"xr"')
        self.assertEqual(out[-2], "\tbx\tlr")

    def test_comments_are_not_code(self):
        text = "\tbl\tg\t@ tail call, not __aeabi_idiv\n\t@ frame = 0, .thumb\n"
        self.assertIn("bl\tg", pe_assembly.translate(text))

    def test_refusals_name_the_construct(self):
        cases = [
            ('\t.section\t.tbss,"awT",%nobits\n', "thread-local storage"),
            ("\tldr\tr3, .L2\n.L2:\n\t.word\tx(tpoff)\n", "thread-local storage"),
            ('\t.section\t.init_array,"aw"\n\t.word\tinit\n', "constructors or destructors"),
            ("\t.fnstart\n", "unwind information"),
            ("\t.cfi_startproc\n", "unwind information"),
            ('\t.section\t.ARM.exidx,"ao"\n', "unwind or exception tables"),
            ("\tbl\t__aeabi_idiv\n", "__aeabi_idiv"),
            ("\tbl\t__cxa_pure_virtual\n", "__cxa_pure_virtual"),
            ("\t.thumb\n", "Thumb code"),
            ("\t.code\t16\n", "Thumb code"),
            ("\t.weak\tg\n", "a weak symbol (g)"),
            ("\t.comm\tg,4,4\n", "a common symbol"),
            ("\tldr\tr0, .L3\n.L3:\n\t.word\tg(GOT)\n", "position-independent"),
            ('\t.section\t.debug_info,"",%progbits\n', "debug information"),
            ('\t.file 1 "f.cpp"\n', "debug information"),
            ('\t.section\t.weird,"a"\n', "section .weird"),
            ('\t.section\t.note.x,"a"\n\t.word\t1\n', "no place in the device file"),
            ("\t.popsection\n", ".popsection without .pushsection"),
            ("\t.previous\n", ".previous"),
        ]
        for text, construct in cases:
            with self.subTest(text=text.strip()):
                with self.assertRaises(pe_assembly.Refusal) as refused:
                    pe_assembly.translate(text)
                self.assertIn(construct, str(refused.exception))
                self.assertIn("assembly line", str(refused.exception))

    def test_refusal_gives_the_line(self):
        with self.assertRaises(pe_assembly.Refusal) as refused:
            pe_assembly.translate(FUNCTION + "\tbl\t__aeabi_idiv\n")
        self.assertIn("(assembly line 5: bl\t__aeabi_idiv)", str(refused.exception))


if __name__ == "__main__":
    unittest.main()
