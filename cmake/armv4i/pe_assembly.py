"""ARM assembly from arm-linux-gnueabi-gcc -S, made fit for the arm-wince-pe
assembler: ELF-only directives dropped, sections renamed to their PE
counterparts (read-only data is .rdata there), comdat groups made
".linkonce discard" sections. What a PE file on the device cannot carry is
refused, naming the construct: thread-local storage, constructors and
destructors, unwind and exception tables, position-independent references,
Thumb code, weak and common symbols, debug information and calls to
libgcc or the C++ runtime (neither can be linked into a device file).
"""
import re

DROPPED_DIRECTIVES = {".eabi_attribute", ".fpu", ".type", ".size", ".ident", ".hidden", ".protected",
                      ".internal", ".object_arch"}

UNWIND_DIRECTIVES = {".fnstart", ".fnend", ".cantunwind", ".personality", ".personalityindex", ".handlerdata",
                     ".save", ".vsave", ".pad", ".setfp", ".movsp", ".unwind_raw", ".inst_unwind"}

# Operators on symbols that only an ELF dynamic or thread-local model has.
RELOCATION_OPERATORS = [
    (re.compile(r"\((tlsgd|tlsldm|tlsldo|gottpoff|tpoff|tlsdesc|tlscall)\)", re.I), "thread-local storage"),
    (re.compile(r"\((got|gotoff|got_prel|plt)\)|_GLOBAL_OFFSET_TABLE_", re.I),
     "a position-independent reference (build with -fno-pic -fno-pie)"),
    (re.compile(r"\((prel31|target1|target2|sbrel)\)", re.I), "an ELF-only relocation"),
]

# What the compiler calls on its own from libgcc or the C++ runtime.
RUNTIME_SYMBOL = re.compile(r"\b(__aeabi_\w+|__gnu_\w+|__cxa_\w+|__gxx_\w+|_Unwind_\w+|__sync_\w+|__atomic_\w+|"
                            r"__(?:u?div|u?mod|ashl|ashr|lshr|mul|clz|ctz|popcount)\w*|__clear_cache)\b")

LABEL = re.compile(r"^\s*([A-Za-z_.$][\w.$]*):")


class Refusal(Exception):
    """What cannot go into a device file, and the assembly line that has it."""

    def __init__(self, construct, number, line):
        super().__init__(f"{construct} (assembly line {number}: {line.strip()})")
        self.construct = construct


def _split_arguments(text):
    """Comma-separated arguments, commas inside quotes kept."""
    arguments, current, quoted = [], "", False
    for character in text:
        if character == '"':
            quoted = not quoted
        if character == "," and not quoted:
            arguments.append(current.strip())
            current = ""
        else:
            current += character
    if current.strip():
        arguments.append(current.strip())
    return arguments


def _section_refusal(name):
    if name.startswith((".tbss", ".tdata")):
        return f"thread-local storage (section {name})"
    if name.startswith((".init_array", ".fini_array", ".preinit_array", ".ctors", ".dtors", ".init", ".fini")):
        return f"constructors or destructors of static objects (section {name})"
    if name.startswith((".ARM.exidx", ".ARM.extab", ".eh_frame", ".gcc_except_table")):
        return f"unwind or exception tables (section {name}; build with -fno-exceptions -fno-unwind-tables)"
    if name.startswith((".debug", ".stab", ".line")):
        return f"debug information (section {name}; build without -g)"
    return None


# Section name prefixes: ELF's, and what the PE layout calls them.
KINDS = [(".text", ".text", "xr"), (".rodata", ".rdata", "dr"), (".data.rel.ro", ".rdata", "dr"),
         (".data", ".data", "dw"), (".bss", ".bss", "b")]


def _pe_section(name, number, line):
    """The PE section directive for the ELF section NAME, or None to drop it."""
    if name.startswith((".note", ".comment")):
        return None
    refusal = _section_refusal(name)
    if refusal:
        raise Refusal(refusal, number, line)
    for elf, pe, flags in KINDS:
        if name == elf or name.startswith(elf + "."):
            return f'.section {pe}{name[len(elf):]},"{flags}"'
    raise Refusal(f"section {name}, which the device file's layout does not place", number, line)


def _comdat_symbols(lines):
    """Symbols defined in comdat sections: their weak definitions become the
    section's one definition, which the linker keeps once."""
    symbols, in_comdat = set(), False
    for line in lines:
        stripped = line.strip()
        if stripped.startswith((".section", ".text", ".data", ".bss", ".pushsection")):
            in_comdat = stripped.startswith((".section", ".pushsection")) and stripped.endswith("comdat")
            continue
        match = LABEL.match(line)
        if match and in_comdat:
            symbols.add(match.group(1))
    return symbols


# Thread-local data shows in several places at once (its section, its
# relocations, the thread-pointer helper); whichever comes first names it.
THREAD_LOCAL = re.compile(r"^\s*\.(section|pushsection)\s+\.t(bss|data)|\.tbss|\.tdata|__aeabi_read_tp|"
                          r"\((tlsgd|tlsldm|tlsldo|gottpoff|tpoff|tlsdesc|tlscall)\)|tls_object", re.I)


def translate(text):
    lines = text.splitlines()
    for number, line in enumerate(lines, 1):
        if THREAD_LOCAL.search(line):
            raise Refusal("thread-local storage, which a device file cannot carry", number, line)
    comdat = _comdat_symbols(lines)
    out = []
    dropping = False  # inside a section that has no place in the file
    current = ".text"
    stack = []

    def switch(directive):
        nonlocal current, dropping
        current = directive
        dropping = directive is None
        if directive is not None:
            out.append("\t" + directive)

    for number, line in enumerate(lines, 1):
        code = line.split("@", 1)[0] if '"' not in line else line
        stripped = code.strip()
        if not stripped:
            out.append(line)
            continue
        word = stripped.split(None, 1)[0]
        rest = stripped[len(word):].strip()
        if word in (".section", ".pushsection"):
            arguments = _split_arguments(rest)
            directive = _pe_section(arguments[0], number, line)
            if word == ".pushsection":
                stack.append(current)
            switch(directive)
            if directive and len(arguments) >= 5 and arguments[-1] == "comdat":
                out.append("\t.linkonce discard")
            continue
        if word == ".popsection":
            if not stack:
                raise Refusal(".popsection without .pushsection", number, line)
            switch(stack.pop())
            continue
        if word == ".previous":
            raise Refusal(".previous (not carried)", number, line)
        if word in (".text", ".data", ".bss"):
            switch(word)
            continue
        if word in (".tbss", ".tdata") or (word == ".type" and "tls_object" in rest):
            raise Refusal("thread-local storage", number, line)
        if word in UNWIND_DIRECTIVES or word.startswith(".cfi_"):
            raise Refusal(f"unwind information ({word}; build with -fno-unwind-tables "
                          "-fno-asynchronous-unwind-tables)", number, line)
        if word in (".thumb", ".thumb_func", ".force_thumb") or (word == ".code" and rest == "16"):
            raise Refusal("Thumb code (the linker relocates ARM branches only: build with -marm)", number, line)
        if word in (".loc", ".loc_mark_labels") or (word == ".file" and re.match(r"\d", rest)):
            raise Refusal("debug information (build without -g)", number, line)
        if word in (".comm", ".lcomm"):
            raise Refusal("a common symbol (build with -fno-common)", number, line)
        if word == ".weak":
            symbol = rest
            if symbol not in comdat:
                raise Refusal(f"a weak symbol ({symbol}), which a device file cannot resolve", number, line)
            out.append(f"\t.global\t{symbol}")
            continue
        if word in DROPPED_DIRECTIVES:
            continue
        for pattern, construct in RELOCATION_OPERATORS:
            if pattern.search(code):
                raise Refusal(construct, number, line)
        runtime = RUNTIME_SYMBOL.search(code)
        if runtime and not LABEL.match(code):
            raise Refusal(f"a call into libgcc or the C++ runtime ({runtime.group(1)}), which a device file cannot "
                          "link", number, line)
        if dropping:
            raise Refusal("content in a section that has no place in the device file", number, line)
        out.append(line)
    return "\n".join(out) + "\n"
