#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Checks that includes between folders run one way: down the floors of the house.

Every top-level folder that holds C or C++ sources stands on a floor, lowest first:

  1  platform/   the Windows calls and records the driver uses
  2  modeldata/  the model-data library
  3  context/    the records every subsystem shares: the device context, the settings
                 record, the model data view
  4  device/ settings/ raster/ eps/   the subsystems
  5  driver/     the DDI face: entry table, lifecycle, surface, job control
  6  host/ stream/ documents/ cups/ cli/ wine/ printerapp/   the Linux host and the front ends
  7  tests/ bench/ fuzz/

A file may include headers of its own folder and of any folder on a lower floor. Between
folders of the same floor only the pairs in SIDEWAYS are allowed, and they form no circle.
Only quoted includes whose first component names a folder of the table count; system
headers (<cups/cups.h>, say) are not ours.

Every include that runs upward or sideways without leave is reported as path:line, and so
is a folder with sources that stands on no floor. The exit status is 1 when there is any.

Usage: check_include_floors.py [ROOT]   (default: the repository this script is in)
"""

import os
import re
import subprocess
import sys

FLOORS = [
    ["platform"],
    ["modeldata"],
    ["context"],
    ["device", "settings", "raster", "eps"],
    ["driver"],
    ["host", "stream", "documents", "cups", "cli", "wine", "printerapp"],
    ["tests", "bench", "fuzz"],
]

# Includes allowed between folders of one floor. settings/ and raster/ look media up and
# read the defaults through device/. The filter, the tool, the label documents and the
# comparison under Wine drive the driver through the host layer's engine session; the tool
# shares the filter's job settings, media catalogue and PPD generator and decodes streams
# through stream/; the comparison under Wine prints the label documents; the printer
# application reads images and finds its installation with the tool's code and prints
# with the filter's job settings and raster pages.
SIDEWAYS = {
    "settings": {"device"},
    "raster": {"device"},
    "documents": {"host"},
    "cups": {"host"},
    "cli": {"cups", "host", "stream", "wine"},
    "wine": {"documents", "host"},
    "printerapp": {"cli", "cups", "host"},
}

SOURCE_SUFFIXES = (".c", ".cc", ".cpp", ".h", ".hpp", ".inl", ".rc")
INCLUDE = re.compile(r'\s*#\s*include\s+"([^"]+)"')
SKIPPED_DIRS = {"build", "out"}

FLOOR_OF = {folder: n for n, folders in enumerate(FLOORS) for folder in folders}


def circle_in(edges):
    """A circle of folder -> folders edges as a list of folders, or None."""
    def walk(path):
        for target in sorted(edges.get(path[-1], ())):
            if target in path:
                return path[path.index(target):] + [target]
            found = walk(path + [target])
            if found:
                return found
        return None

    for folder in sorted(edges):
        found = walk([folder])
        if found:
            return found
    return None


def source_files(root):
    """Paths (relative, with /) of the sources under root: git's list when root is a
    checkout (untracked files included, ignored ones not), else a walk of the tree."""
    try:
        listed = subprocess.run(
            ["git", "-C", root, "ls-files", "--cached", "--others", "--exclude-standard"],
            capture_output=True, text=True, check=True).stdout.splitlines()
        paths = [p for p in listed if os.path.isfile(os.path.join(root, p))]
    except (OSError, subprocess.CalledProcessError):
        paths = []
        for directory, subdirs, files in os.walk(root):
            subdirs[:] = [d for d in subdirs if not d.startswith(".") and not
                          (directory == root and d in SKIPPED_DIRS)]
            relative = os.path.relpath(directory, root)
            paths += [os.path.normpath(os.path.join(relative, f)).replace(os.sep, "/")
                      for f in files]
    return sorted(p for p in paths if p.endswith(SOURCE_SUFFIXES) and "/" in p)


def check(root, paths):
    """The findings for the sources at paths (relative to root), one line each."""
    findings = []
    unplaced = set()
    for path in paths:
        source = path.split("/", 1)[0]
        if source not in FLOOR_OF:
            if source not in unplaced:
                unplaced.add(source)
                findings.append(f"{path}: {source}/ stands on no floor of {os.path.basename(__file__)}")
            continue
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as text:
            for number, line in enumerate(text, 1):
                match = INCLUDE.match(line)
                if not match or "/" not in match.group(1):
                    continue
                target = match.group(1).split("/", 1)[0]
                if target == source or target not in FLOOR_OF:
                    continue
                if FLOOR_OF[target] < FLOOR_OF[source] or target in SIDEWAYS.get(source, ()):
                    continue
                if FLOOR_OF[target] == FLOOR_OF[source]:
                    why = f"sideways on floor {FLOOR_OF[source] + 1}, not among SIDEWAYS"
                else:
                    why = (f"upward: {target}/ stands on floor {FLOOR_OF[target] + 1}, "
                           f"{source}/ on floor {FLOOR_OF[source] + 1}")
                findings.append(f"{path}:{number}: includes {match.group(1)}, {why}")
    return findings


def main(argv):
    circle = circle_in(SIDEWAYS)
    if circle:
        print("SIDEWAYS runs in a circle: " + " -> ".join(circle), file=sys.stderr)
        return 1
    root = argv[0] if argv else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    paths = source_files(root)
    if not paths:
        print(f"no sources under {root}", file=sys.stderr)
        return 1
    findings = check(root, paths)
    for finding in findings:
        print(finding)
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
