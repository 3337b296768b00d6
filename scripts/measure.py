#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Measuring helpers for scripts/compare_peers.sh.

  measure.py image WIDTH HEIGHT OUT.pgm [--text-bars]
      writes a photo-like grey image (smooth ramps with some texture) as binary PGM; with
      --text-bars a label of black text and bars on white instead
  measure.py time RUNS NAME=COMMAND [NAME=COMMAND...] [--json]
      runs the commands in turn, RUNS rounds, each round in the order given, and prints
      per command the median and the fastest wall time, the median CPU time (user + system),
      the median page faults, the peak resident size (of one more run, under GNU time), and
      how many times the first command's median each other median is; --json prints the
      figures as one JSON object. A COMMAND with a shell's metacharacters runs under sh -c.
  measure.py scaling RUNS TQ33 WORKDIR
      times `TQ33 print` of labels of 0.1, 0.3 and 1 m (the longest a label may be) and of a
      document of ten 1 m labels, on 18 mm tape at 360 and 720 dpi in each halftone mode
      (median CPU time of RUNS runs, and the peak resident size), and the CPU time a metre
      adds within a label and across pages, as a Markdown table
"""
import json
import os
import shlex
import statistics
import subprocess
import sys
import tempfile
import time


def write_image(width, height, path):
    # Rows of a ramp along x with a slower ramp along y and a texture, as a photo has.
    with open(path, "wb") as out:
        out.write(b"P5\n%d %d\n255\n" % (width, height))
        row = bytearray(width)
        for y in range(height):
            for x in range(width):
                row[x] = (x // 97 + y * 3 + (x * 7 + y * 13) % 23) & 0xFF
            out.write(row)


def write_text_and_bars(width, height, path):
    # A label as labels mostly are: white, with lines of black glyphs (strokes of a few
    # dots, spaced like letters) and blocks of bars of one to four modules, as barcodes.
    rows = [bytearray(b"\xff" * width) for _ in range(height)]
    seed = 12345

    def rand():
        nonlocal seed
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        return seed >> 8

    glyph_h = max(8, height // 5)
    x = 0
    while x < width:
        if (x // 2000) % 3 == 2:
            # Bars across the whole height but a quiet margin, modules of 3 dots.
            end = min(width, x + 2000)
            while x < end:
                bar = 3 * (1 + rand() % 4)
                gap = 3 * (1 + rand() % 4)
                for y in range(height // 10, height - height // 10):
                    rows[y][x:min(end, x + bar)] = b"\x00" * (min(end, x + bar) - x)
                x += bar + gap
            continue
        # A glyph: a few strokes in a cell, on two lines of text.
        cell = glyph_h * 2 // 3
        for line in (height // 8, height // 2 + height // 16):
            for _ in range(3):
                kind = rand() % 3
                if kind == 0:  # vertical stroke
                    sx = x + rand() % max(1, cell - 3)
                    for y in range(line, min(height, line + glyph_h)):
                        rows[y][sx:sx + 3] = b"\x00" * len(rows[y][sx:sx + 3])
                elif kind == 1:  # horizontal stroke
                    sy = line + rand() % glyph_h
                    if sy + 3 <= height:
                        for y in range(sy, sy + 3):
                            seg = rows[y][x:x + cell]
                            rows[y][x:x + cell] = b"\x00" * len(seg)
                else:  # a dot
                    sy = line + rand() % glyph_h
                    sx = x + rand() % max(1, cell - 4)
                    for y in range(sy, min(height, sy + 4)):
                        rows[y][sx:sx + 4] = b"\x00" * len(rows[y][sx:sx + 4])
        x += cell + cell // 3
    with open(path, "wb") as out:
        out.write(b"P5\n%d %d\n255\n" % (width, height))
        for row in rows:
            out.write(row[:width])


def run_once(argv):
    """Wall seconds, CPU seconds and page faults of one run of argv, its output thrown
    away."""
    with open(os.devnull, "wb") as null:
        start = time.perf_counter()
        pid = os.posix_spawnp(argv[0], argv, os.environ,
                              file_actions=[(os.POSIX_SPAWN_DUP2, null.fileno(), 1)])
        _, status, usage = os.wait4(pid, 0)
        wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("measure: %s failed (status %d)" % (shlex.join(argv), os.waitstatus_to_exitcode(status)))
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_minflt + usage.ru_majflt


def peak_kilobytes(argv):
    """The peak resident size of one run of argv, as GNU time reports it. A process started
    from this one would count this interpreter's own size, which it keeps across exec."""
    with tempfile.NamedTemporaryFile("r") as report, open(os.devnull, "wb") as null:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + argv, stdout=null,
                       check=True)
        return int(report.read().split()[-1])


def time_commands(runs, named):
    results = {name: [] for name, _ in named}
    for _ in range(runs):
        for name, argv in named:
            results[name].append(run_once(argv))
    summary = {}
    for name, argv in named:
        samples = results[name]
        summary[name] = {
            "wall_ms": statistics.median(s[0] for s in samples) * 1000,
            "fastest_ms": min(s[0] for s in samples) * 1000,
            "cpu_ms": statistics.median(s[1] for s in samples) * 1000,
            "faults": statistics.median(s[2] for s in samples),
            "peak_rss_mb": peak_kilobytes(argv) / 1024,
            "runs": runs,
        }
    return summary


# The driver holds a label to at most 1 m: longer jobs are documents of 1 m labels.
LENGTHS_M = (0.1, 0.3, 1)
PAGES = 10
MODES = ("threshold", "ordered", "diffusion")


def label_options(metres, dpi):
    return ["--orientation", "landscape", "--paper", "261", "--length", str(int(metres * 10000)),
            "--dpi", str(dpi)]


def scaling_table(runs, tq33, workdir):
    """The table of time and peak memory by label length, feed resolution and mode."""
    rows = []
    for mode in MODES:
        for dpi in (360, 720):
            cells = []
            for metres in LENGTHS_M + (LENGTHS_M[-1],):
                options = label_options(metres, dpi)
                info = json.loads(os.popen(shlex.join([tq33, "info", "--json"] + options)).read())
                width, height = info["page"]["cx"], info["page"]["cy"]
                image = os.path.join(workdir, "label-%d-%d.pgm" % (width, height))
                if not os.path.exists(image):
                    write_image(width, height, image)
                pages = PAGES if len(cells) == len(LENGTHS_M) else 1
                argv = [tq33, "print"] + [image] * pages + [
                    "-o", os.path.join(workdir, "label.bin"), "--halftone", mode] + options
                cells.append(time_commands(runs, [("print", argv)])["print"])
            rows.append((mode, dpi, cells))
    # CPU time: on a shared machine the wall time of a short run mostly measures the wait.
    print("| Halftone | dpi | " + " | ".join("%g m" % m for m in LENGTHS_M) +
          " | %d pages of %g m | per metre within a label | per metre across pages |" %
          (PAGES, LENGTHS_M[-1]))
    print("|---|---|" + "---|" * (len(LENGTHS_M) + 3))
    for mode, dpi, cells in rows:
        text = ["%.1f ms, %.1f MiB" % (f["cpu_ms"], f["peak_rss_mb"]) for f in cells]
        within = (cells[-2]["cpu_ms"] - cells[0]["cpu_ms"]) / (LENGTHS_M[-1] - LENGTHS_M[0])
        across = (cells[-1]["cpu_ms"] - cells[-2]["cpu_ms"]) / ((PAGES - 1) * LENGTHS_M[-1])
        print("| %s | %d | %s | %.1f ms | %.1f ms |" % (mode, dpi, " | ".join(text), within, across))


def main(args):
    if len(args) in (4, 5) and args[0] == "image":
        if args[4:] == ["--text-bars"]:
            write_text_and_bars(int(args[1]), int(args[2]), args[3])
        else:
            write_image(int(args[1]), int(args[2]), args[3])
        return
    if len(args) == 4 and args[0] == "scaling":
        scaling_table(int(args[1]), args[2], args[3])
        return
    as_json = "--json" in args
    args = [a for a in args if a != "--json"]
    if len(args) < 3 or args[0] != "time":
        sys.exit(__doc__)
    named = []
    for entry in args[2:]:
        name, _, command = entry.partition("=")
        shell = any(c in command for c in ";|<>&")
        named.append((name, ["sh", "-c", command] if shell else shlex.split(command)))
    summary = time_commands(int(args[1]), named)
    if as_json:
        print(json.dumps(summary))
        return
    first = summary[named[0][0]]
    width = max(14, max(len(name) for name in summary) + 1)
    print("%-*s %10s %10s %10s %8s %10s %10s" %
          (width, "", "median ms", "fastest ms", "CPU ms", "faults", "peak MiB", "x first"))
    for name, s in summary.items():
        print("%-*s %10.1f %10.1f %10.1f %8d %10.1f %10.2f" %
              (width, name, s["wall_ms"], s["fastest_ms"], s["cpu_ms"], s["faults"],
               s["peak_rss_mb"], s["wall_ms"] / first["wall_ms"]))


if __name__ == "__main__":
    main(sys.argv[1:])
