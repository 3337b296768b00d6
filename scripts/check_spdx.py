#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Checks that every source file of the project carries its licence line.

A source file is one a person edits and a build reads: C and C++, Python and shell
scripts, CMake files, the Makefile, module-definition and resource files, linker maps and
the templates of manual pages and units. Each must say, in one of its first three lines,

  SPDX-License-Identifier: Apache-2.0

in that language's comment. Files that are data (fuzz corpora, images, sample media) and
documents (Markdown, the licence itself) are not sources.

Usage: check_spdx.py [--fix] [ROOT]   (default: the repository this script is in)
  --fix  adds the line where it is missing: first line, or after a #! line

Prints each file without the line as path, and exits 1 when there is any (0 after --fix).
"""

import os
import subprocess
import sys

TAG = "SPDX-License-Identifier: Apache-2.0"

# How each kind of file writes a comment line.
BY_SUFFIX = {
    ".cpp": "// {}", ".h": "// {}", ".c": "// {}", ".rc": "// {}",
    ".py": "# {}", ".sh": "# {}", ".cmake": "# {}",
    ".def": "; {}", ".map": "/* {} */",
}
BY_NAME = {"CMakeLists.txt": "# {}", "Makefile": "# {}", "run": "# {}"}
BY_TEMPLATE = {".1.in": '.\\" {}', ".8.in": '.\\" {}', ".service.in": "# {}",
               ".cmake.in": "# {}"}
SKIPPED_FOLDERS = ("fuzz/corpus/", "data/", "tests/data/")


def comment_style(path):
    name = os.path.basename(path)
    if path.startswith(SKIPPED_FOLDERS):
        return None
    for suffix, style in BY_TEMPLATE.items():
        if name.endswith(suffix):
            return style
    if name in BY_NAME and (name != "run" or path == ".ci/run"):
        return BY_NAME[name]
    return BY_SUFFIX.get(os.path.splitext(name)[1])


def listed_files(root):
    try:
        out = subprocess.run(["git", "-C", root, "ls-files", "-co", "--exclude-standard"],
                             check=True, capture_output=True, text=True).stdout
        return [p for p in out.splitlines() if os.path.isfile(os.path.join(root, p))]
    except (OSError, subprocess.CalledProcessError):
        files = []
        for top, dirs, names in os.walk(root):
            dirs[:] = [d for d in dirs if not d.startswith(".") or d == ".ci"]
            dirs[:] = [d for d in dirs if d not in ("build", "out")]
            files += [os.path.relpath(os.path.join(top, n), root) for n in names]
        return files


def main(argv):
    fix = "--fix" in argv
    rest = [a for a in argv if a != "--fix"]
    root = rest[0] if rest else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    missing = 0
    for path in sorted(listed_files(root)):
        style = comment_style(path)
        if style is None:
            continue
        full = os.path.join(root, path)
        with open(full, "rb") as f:
            text = f.read().decode("utf-8", errors="replace")
        lines = text.split("\n")
        if any(TAG in line for line in lines[:3]):
            continue
        if not fix:
            print(path)
            missing += 1
            continue
        at = 1 if lines and lines[0].startswith("#!") else 0
        lines.insert(at, style.format(TAG))
        mode = os.stat(full).st_mode
        with open(full, "w", encoding="utf-8") as f:
            f.write("\n".join(lines))
        os.chmod(full, mode)
    if missing:
        print(f"{missing} source file(s) without the line \"{TAG}\"", file=sys.stderr)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
