#!/usr/bin/env python3
"""The stand-in's platform headers declare no more than the device SDK's.

Every header in the include folder must be in the list (or marked as the
stand-in's own, which device code may not include), and each name a header
declares, as clang sees it (macros and top-level declarations, compiled once
as host code and once as device code), must be one the list gives for that
header. Names starting with SIMDEVICE_ are the stand-in's own guards, and
those starting with two underscores the compiler's (builtins it declares on use).

The platform calls' names come from the call list instead, whose header
column says which SDK header declares each.

usage: check_header_names.py CLANG INCLUDE_DIR NAMES_FILE CALL_LIST
Exit status 0 when every header is within the list, 1 when one is not, 2 on
bad arguments or a header clang cannot compile, and 77 (a skip) when clang is
missing, unless CI=true.
"""
import json
import os
import re
import shutil
import subprocess
import sys

DECLARATION_KINDS = {"FunctionDecl", "TypedefDecl", "VarDecl", "RecordDecl", "CXXRecordDecl", "EnumDecl"}
MODES = {"host": ["-x", "c++", "-std=c++17"], "device": ["-x", "c++", "-std=c++98", "-fshort-wchar"]}


def fail(message, status=2):
    print(f"check_header_names.py: {message}", file=sys.stderr)
    sys.exit(status)


def read_list(path):
    allowed, own = {}, set()
    header = None
    with open(path, encoding="utf-8") as lines:
        for number, line in enumerate(lines, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            match = re.fullmatch(r"\[(\S+\.h)\]( stand-in only)?", line)
            if match:
                header = match.group(1)
                (own.add if match.group(2) else lambda h: allowed.setdefault(h, set()))(header)
            elif header is None or header in own:
                fail(f"{path}:{number}: names outside a [header.h] block")
            else:
                allowed[header].update(line.split())
    return allowed, own


def read_calls(path):
    """Header -> the call names the call list says it declares."""
    declared = {}
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            fields = line.split("#", 1)[0].split()
            if len(fields) >= 5 and fields[4] != "-":
                declared.setdefault(fields[4], set()).add(fields[1])
    return declared


def clang(compiler, include, header, mode, extra):
    command = [compiler, *MODES[mode], "-I", include, *extra, os.path.join(include, header)]
    run = subprocess.run(command, capture_output=True, text=True)
    if run.returncode != 0:
        fail(f"{header} ({mode}): {' '.join(command)}\n{run.stderr.strip()}")
    return run.stdout


def macros(compiler, include, header, mode):
    """Macros defined in HEADER itself, from the preprocessor's own record."""
    names, current, target = set(), None, os.path.join(include, header)
    for line in clang(compiler, include, header, mode, ["-E", "-dD"]).splitlines():
        marker = re.match(r'# \d+ "([^"]+)"', line)
        if marker:
            current = marker.group(1)
        elif current == target:
            definition = re.match(r"#define (\w+)", line)
            if definition:
                names.add(definition.group(1))
    return names


def declarations(compiler, include, header, mode):
    """Top-level declarations whose (expansion) location is HEADER itself."""
    tree = json.loads(clang(compiler, include, header, mode, ["-fsyntax-only", "-Xclang", "-ast-dump=json"]))
    target = os.path.join(include, header)
    names, state = set(), {"file": None}

    # clang prints a location's file only when it changes: walk in order.
    def follow(node):
        if isinstance(node, dict):
            if isinstance(node.get("file"), str) and "spellingLoc" not in node:
                state["file"] = node["file"]
            for key, value in node.items():
                # includedFrom names the includer, not this location's file.
                if key not in ("inner", "includedFrom"):
                    follow(value)
        elif isinstance(node, list):
            for value in node:
                follow(value)

    def where(node):
        loc = node.get("loc", {})
        follow(loc.get("spellingLoc", {}))
        follow(loc.get("expansionLoc", loc))
        place = state["file"]
        follow(node.get("range", {}))
        return place

    def visit(nodes):
        for node in nodes:
            place = where(node)
            if node.get("kind") == "LinkageSpecDecl":
                visit(node.get("inner", []))
                continue
            if node.get("kind") in DECLARATION_KINDS and node.get("name") and place == target:
                names.add(node["name"])
            walk_inner(node)

    def walk_inner(node):
        for child in node.get("inner", []):
            follow({k: v for k, v in child.items() if k != "inner"})
            walk_inner(child)

    visit(tree.get("inner", []))
    return names


def main():
    if len(sys.argv) != 5:
        fail("usage: check_header_names.py CLANG INCLUDE_DIR NAMES_FILE CALL_LIST")
    compiler, include, names_file, call_list = sys.argv[1:]
    if shutil.which(compiler) is None:
        print(f"missing {compiler}: install the Debian package clang")
        sys.exit(1 if os.environ.get("CI") == "true" else 77)
    allowed, own = read_list(names_file)
    # The C runtime's calls name the system's string.h, which is not here.
    for header, calls in read_calls(call_list).items():
        if os.path.exists(os.path.join(include, header)):
            allowed.setdefault(header, set()).update(calls)
    headers = sorted(f for f in os.listdir(include) if f.endswith(".h"))
    status = 0
    for header in headers:
        if header in own:
            continue
        if header not in allowed:
            print(f"{header}: not in {names_file}: say what the device SDK declares there, or mark it stand-in only")
            status = 1
            continue
        declared = set()
        for mode in MODES:
            declared |= macros(compiler, include, header, mode) | declarations(compiler, include, header, mode)
        extra = sorted(n for n in declared - allowed[header] if not n.startswith(("SIMDEVICE_", "__")))
        if extra:
            print(f"{header} declares what the device SDK's {header} does not: {' '.join(extra)}")
            status = 1
    for header in sorted((set(allowed) | own) - set(headers)):
        print(f"{names_file}: lists {header}, which {include} lacks")
        status = 1
    if status == 0:
        print(f"{len(headers) - len(own)} headers, each within what the device SDK declares")
    sys.exit(status)


if __name__ == "__main__":
    main()
