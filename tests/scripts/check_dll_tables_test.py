#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Tests of scripts/check_dll_tables.py against objdump reports of good and faulty DLLs."""

import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts")
sys.path.insert(0, SCRIPTS)

import check_dll_tables as check  # noqa: E402

# `i686-w64-mingw32-objdump -p` of a model-data library built as it should be, abridged.
GOOD_MODEL_LIBRARY = textwrap.dedent("""\

    TQ33Ki3.dll:     file format pei-i386

    The Import Tables (interpreted .idata section contents)
     0004c000\t0004c03c 00000000 00000000 0004c69c 0004c14c

    \tDLL Name: KERNEL32.dll
    \tvma:  Hint/Ord Member-Name Bound-To
    \t4c25c\t    2  AcquireSRWLockExclusive
    \t4c276\t  136  CloseHandle

    \tDLL Name: msvcrt.dll
    \tvma:  Hint/Ord Member-Name Bound-To
    \t4c4ce\t   69  __mb_cur_max

    The Export Tables (interpreted .edata section contents)
    Number in:
    \tExport Address Table \t\t00000001
    \t[Name Pointer/Ordinal] Table\t00000001
    Table Addresses
    \tExport Address Table \t\t0004b028

    Export Address Table -- Ordinal Base 1
    \t[   0] +base[   1] 1ea0 Export RVA

    [Ordinal/Name Pointer] Table
    \t[   0] QDX_InitializeW

    """)

DRIVER_EXPORTS = ["DllMain", "DrvDisableDriver", "DrvEnableDriver", "DrvQueryDriverInfo"]
DRIVER_IMPORTS = {dll: ["SomeCall"] for dll in (
    "ADVAPI32.dll", "GDI32.dll", "KERNEL32.dll", "msvcrt.dll", "VERSION.dll", "WINSPOOL.DRV")}


def objdump_report(name, exports, imports, file_format="pei-i386", address_count=None):
    """An objdump -p report in the shape of the one above."""
    lines = ["", f"{name}:     file format {file_format}", "",
             "The Import Tables (interpreted .idata section contents)"]
    for dll, names in imports.items():
        lines += ["", f"\tDLL Name: {dll}", "\tvma:  Hint/Ord Member-Name Bound-To"]
        lines += [f"\t4c25c\t  {i:3}  {n}" for i, n in enumerate(names)]
    count = len(exports) if address_count is None else address_count
    lines += ["", "Number in:", f"\tExport Address Table \t\t{count:08x}",
              f"\t[Name Pointer/Ordinal] Table\t{len(exports):08x}", "Table Addresses",
              "\tExport Address Table \t\t0004b028", "", "[Ordinal/Name Pointer] Table"]
    lines += [f"\t[{i:4}] {n}" for i, n in enumerate(exports)]
    return "\n".join(lines + ["", ""])


def problems_of(name, report, arch="x86"):
    return check.check_tables(name, check.parse_objdump(report), arch)


class ReadsObjdumpReports(unittest.TestCase):
    def test_reports_of_good_libraries_give_their_tables_and_pass(self):
        tables = check.parse_objdump(GOOD_MODEL_LIBRARY)
        self.assertEqual(tables.file_format, "pei-i386")
        self.assertEqual(tables.exports, ["QDX_InitializeW"])
        # The address of the export table under "Table Addresses" is not its entry count.
        self.assertEqual(tables.export_addresses, 1)
        self.assertEqual(tables.imports, {
            "KERNEL32.dll": ["AcquireSRWLockExclusive", "CloseHandle"],
            "msvcrt.dll": ["__mb_cur_max"],
        })
        self.assertEqual(check.check_tables("TQ33Ki3.dll", tables), [])

        report = objdump_report("TQ33KV.DLL", DRIVER_EXPORTS, DRIVER_IMPORTS)
        self.assertEqual(problems_of("TQ33KV.DLL", report), [])
        # Windows file names carry no case.
        self.assertEqual(problems_of("tq33kv.dll", report), [])


class ReportsEveryExportDifference(unittest.TestCase):
    def test_decorated_and_leaked_exports_are_named_with_the_missing_plain_ones(self):
        exports = ["DllMain@12", "DrvDisableDriver", "DrvEnableDriver@12",
                   "DrvQueryDriverInfo", "_ZN9ModelData4LoadEv"]
        problems = problems_of("TQ33KV.DLL", objdump_report("TQ33KV.DLL", exports, {}))
        self.assertEqual(problems, [
            "TQ33KV.DLL: unexpected export DllMain@12",
            "TQ33KV.DLL: unexpected export DrvEnableDriver@12",
            "TQ33KV.DLL: unexpected export _ZN9ModelData4LoadEv",
            "TQ33KV.DLL: missing export DllMain",
            "TQ33KV.DLL: missing export DrvEnableDriver",
        ])

    def test_each_library_is_held_to_its_own_list_and_named_exports_only(self):
        problems = problems_of("TQ33Ki3.dll",
                               objdump_report("TQ33Ki3.dll", DRIVER_EXPORTS, {}))
        self.assertIn("TQ33Ki3.dll: missing export QDX_InitializeW", problems)
        report = objdump_report("TQ33Ki3.dll", ["QDX_InitializeW"], {}, address_count=2)
        self.assertEqual(problems_of("TQ33Ki3.dll", report),
                         ["TQ33Ki3.dll: 1 export(s) by ordinal without a name"])


class ReportsEveryForeignImportAndImage(unittest.TestCase):
    def test_foreign_dlls_are_reported_with_each_imported_name(self):
        imports = dict(DRIVER_IMPORTS)
        imports["libstdc++-6.dll"] = ["_ZdlPv", "_Znwj"]
        imports["libgcc_s_dw2-1.dll"] = ["__udivdi3"]
        problems = problems_of("TQ33KV.DLL",
                               objdump_report("TQ33KV.DLL", DRIVER_EXPORTS, imports))
        self.assertEqual(problems, [
            "TQ33KV.DLL: imports from libgcc_s_dw2-1.dll, which is not allowed",
            "TQ33KV.DLL: imports __udivdi3 from libgcc_s_dw2-1.dll",
            "TQ33KV.DLL: imports from libstdc++-6.dll, which is not allowed",
            "TQ33KV.DLL: imports _ZdlPv from libstdc++-6.dll",
            "TQ33KV.DLL: imports _Znwj from libstdc++-6.dll",
        ])

        # Only the system's own files count: no lookalike and no other system library.
        imports = {"winspool.dll": ["WritePrinter"], "user32.dll": ["MessageBoxW"]}
        problems = problems_of("TQ33KV.DLL",
                               objdump_report("TQ33KV.DLL", DRIVER_EXPORTS, imports))
        self.assertIn("TQ33KV.DLL: imports from winspool.dll, which is not allowed", problems)
        self.assertIn("TQ33KV.DLL: imports MessageBoxW from user32.dll", problems)

    def test_an_image_of_the_other_architecture_and_an_unknown_library_are_refused(self):
        report = objdump_report("TQ33KV.DLL", DRIVER_EXPORTS, {}, file_format="pei-x86-64")
        self.assertEqual(problems_of("TQ33KV.DLL", report), [
            "TQ33KV.DLL: file format pei-x86-64, expected pei-i386 (32-bit Windows)"])
        self.assertEqual(problems_of("TQ33KV.DLL", report, "x64"), [])
        self.assertEqual(problems_of("TQ33KV.DLL", objdump_report("TQ33KV.DLL", DRIVER_EXPORTS, {}),
                                     "x64"),
                         ["TQ33KV.DLL: file format pei-i386, expected pei-x86-64 (64-bit Windows)"])
        problems = problems_of("TQ33KU.DLL", objdump_report("TQ33KU.DLL", [], {}))
        self.assertEqual(len(problems), 1)
        self.assertTrue(problems[0].startswith("TQ33KU.DLL: not one of the DLLs"))


class RunsAsTheBuildsCheck(unittest.TestCase):
    """The script as the build runs it, with a stand-in objdump printing a report."""

    def run_script(self, reports, objdump_status=0):
        with tempfile.TemporaryDirectory() as directory:
            paths = []
            for name, report in reports.items():
                path = os.path.join(directory, name)
                with open(path + ".report", "w", encoding="utf-8") as out:
                    out.write(report)
                paths.append(path)
            objdump = os.path.join(directory, "objdump")
            with open(objdump, "w", encoding="utf-8") as out:
                out.write(f"#!{sys.executable}\nimport sys\n"
                          f"sys.stdout.write(open(sys.argv[2] + '.report').read())\n"
                          f"sys.exit({objdump_status})\n")
            os.chmod(objdump, 0o755)
            return subprocess.run(
                [sys.executable, os.path.join(SCRIPTS, "check_dll_tables.py"),
                 "--objdump", objdump] + paths,
                capture_output=True, text=True, check=False)

    def test_good_libraries_pass_and_a_fault_or_a_failing_objdump_fails_the_check(self):
        good = {"TQ33KV.DLL": objdump_report("TQ33KV.DLL", DRIVER_EXPORTS, DRIVER_IMPORTS),
                "TQ33Ki3.dll": GOOD_MODEL_LIBRARY}
        result = self.run_script(good)
        self.assertEqual(result.returncode, 0, result.stderr)

        bad = dict(good)
        bad["TQ33Ki3.dll"] = GOOD_MODEL_LIBRARY.replace("QDX_InitializeW",
                                                        "QDX_InitializeW@4")
        result = self.run_script(bad)
        self.assertEqual(result.returncode, 1)
        self.assertIn("TQ33Ki3.dll: unexpected export QDX_InitializeW@4", result.stderr)
        self.assertIn("TQ33Ki3.dll: missing export QDX_InitializeW", result.stderr)

        result = self.run_script({"TQ33Ki3.dll": GOOD_MODEL_LIBRARY}, objdump_status=1)
        self.assertEqual(result.returncode, 1)
        self.assertIn("failed", result.stderr)


if __name__ == "__main__":
    unittest.main()
