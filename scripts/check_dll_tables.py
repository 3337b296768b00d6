#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Checks the export and import tables of the two Windows DLLs.

The driver library must export exactly DllMain, DrvEnableDriver, DrvQueryDriverInfo and
DrvDisableDriver, and the model-data library exactly QDX_InitializeW, all by their plain
(undecorated) names. Both may import only from the system libraries the driver calls:
gdi32, winspool, kernel32, advapi32, version and the C runtime (msvcrt). Anything else,
such as the compiler's runtime DLLs, would keep the library from loading in the spooler.

The tables are read from `objdump -p` of the cross toolchain. Every difference is
reported, one offending name a line; the exit status is 1 when there is any.

Both architectures are checked alike: a 64-bit pair (--arch x64) must be PE32+ images for
x86-64 exporting and importing exactly the same.

Usage: check_dll_tables.py [--objdump PROGRAM] [--arch x86|x64] DLL...
"""

import argparse
import os
import re
import subprocess
import sys

# Exports by DLL file name (compared without regard to case, as Windows does).
EXPECTED_EXPORTS = {
    "tq33kv.dll": {"DllMain", "DrvEnableDriver", "DrvQueryDriverInfo", "DrvDisableDriver"},
    "tq33ki3.dll": {"QDX_InitializeW"},
}

# The only DLLs either library may import from.
ALLOWED_IMPORT_DLLS = {
    "gdi32.dll",
    "winspool.drv",
    "kernel32.dll",
    "advapi32.dll",
    "version.dll",
    "msvcrt.dll",
}

# objdump's name for a PE image of each architecture the DLLs are built for.
EXPECTED_FORMATS = {"x86": ("pei-i386", "32-bit Windows"), "x64": ("pei-x86-64", "64-bit Windows")}


class Tables:
    """What objdump reports of one image."""

    def __init__(self):
        self.file_format = None
        self.export_addresses = 0  # entries of the export address table
        self.exports = []  # exported names, in table order
        self.imports = {}  # DLL name as written in the image -> imported names


def parse_objdump(text):
    """Reads the file format, the export table and the import tables from `objdump -p`."""
    tables = Tables()
    section = None
    current_dll = None
    for line in text.splitlines():
        stripped = line.strip()
        match = re.search(r"file format (\S+)", line)
        if match and tables.file_format is None:
            tables.file_format = match.group(1)
            continue
        # The entry count follows "Number in:"; the table's address comes later, under
        # "Table Addresses", on a line of the same shape.
        if stripped.startswith("Number in:"):
            section = "counts"
            continue
        match = re.match(r"Export Address Table\s+([0-9a-fA-F]+)$", stripped)
        if match and section == "counts":
            tables.export_addresses = int(match.group(1), 16)
            section = None
            continue
        if stripped.startswith("[Ordinal/Name Pointer] Table"):
            section = "exports"
            continue
        match = re.match(r"DLL Name:\s*(\S+)", stripped)
        if match:
            current_dll = match.group(1)
            tables.imports.setdefault(current_dll, [])
            section = None
            continue
        if stripped.startswith("vma:") and "Member-Name" in stripped and current_dll:
            section = "imports"
            continue
        if not stripped:
            section = None
            continue
        if section == "exports":
            match = re.match(r"\[\s*\d+\]\s+(\S+)$", stripped)
            if match:
                tables.exports.append(match.group(1))
        elif section == "imports":
            # "<vma> <hint> <name>", or "<vma> <ordinal> <none>" for an import by ordinal.
            fields = stripped.split()
            if len(fields) >= 3:
                tables.imports[current_dll].append(" ".join(fields[2:]))
    return tables


def check_tables(dll_name, tables, arch="x86"):
    """The differences of one image of arch from the lists above, one message each."""
    problems = []
    expected = EXPECTED_EXPORTS.get(dll_name.lower())
    if expected is None:
        return [f"{dll_name}: not one of the DLLs this check knows "
                f"({', '.join(sorted(EXPECTED_EXPORTS))})"]
    expected_format, system = EXPECTED_FORMATS[arch]
    if tables.file_format != expected_format:
        problems.append(f"{dll_name}: file format {tables.file_format or 'unknown'}, "
                        f"expected {expected_format} ({system})")

    exported = set(tables.exports)
    for name in sorted(exported - expected):
        problems.append(f"{dll_name}: unexpected export {name}")
    for name in sorted(expected - exported):
        problems.append(f"{dll_name}: missing export {name}")
    for name in sorted({n for n in tables.exports if tables.exports.count(n) > 1}):
        problems.append(f"{dll_name}: export {name} listed more than once")
    # An entry point exported by ordinal alone has no name to compare.
    unnamed = tables.export_addresses - len(tables.exports)
    if unnamed > 0:
        problems.append(f"{dll_name}: {unnamed} export(s) by ordinal without a name")

    for dll, names in sorted(tables.imports.items()):
        if dll.lower() in ALLOWED_IMPORT_DLLS:
            continue
        problems.append(f"{dll_name}: imports from {dll}, which is not allowed")
        for name in names:
            problems.append(f"{dll_name}: imports {name} from {dll}")
    return problems


def read_tables(objdump, path):
    """Runs objdump -p on the image. None, with the reason printed, when it fails."""
    try:
        result = subprocess.run([objdump, "-p", path], capture_output=True, text=True,
                                check=False)
    except OSError as error:
        print(f"{path}: cannot run {objdump}: {error}", file=sys.stderr)
        return None
    if result.returncode != 0:
        print(f"{path}: {objdump} failed: {result.stderr.strip()}", file=sys.stderr)
        return None
    return parse_objdump(result.stdout)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objdump", default="i686-w64-mingw32-objdump",
                        help="the cross toolchain's objdump")
    parser.add_argument("--arch", choices=sorted(EXPECTED_FORMATS), default="x86",
                        help="the architecture the DLLs are built for")
    parser.add_argument("dlls", nargs="+", metavar="DLL")
    args = parser.parse_args(argv)

    failed = False
    for path in args.dlls:
        tables = read_tables(args.objdump, path)
        if tables is None:
            failed = True
            continue
        name = os.path.basename(path)
        problems = check_tables(name, tables, args.arch)
        for problem in problems:
            print(problem, file=sys.stderr)
        if problems:
            failed = True
        else:
            imports = ", ".join(sorted(tables.imports, key=str.lower))
            print(f"{name}: exports {', '.join(sorted(tables.exports))}; imports from "
                  f"{imports}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
