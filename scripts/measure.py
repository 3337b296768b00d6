#!/usr/bin/env python3
"""Measuring helpers for scripts/compare_peers.sh.

  measure.py image WIDTH HEIGHT OUT.pgm
      writes a photo-like grey image (smooth ramps with some texture) as binary PGM
  measure.py time RUNS NAME=COMMAND [NAME=COMMAND...] [--json]
      runs the commands in turn, RUNS rounds, each round in the order given, and prints
      per command the median and the fastest wall time, the median CPU time (user + system),
      the peak resident size (of one more run, under GNU time), and how many times the first command's median
      each other median is; --json prints the figures as one JSON object
  measure.py scaling RUNS TQ33 WORKDIR
      times `TQ33 print` of labels of 0.1, 1 and 10 m on 18 mm tape at 360 and 720 dpi in
      each halftone mode (median of RUNS runs, and the peak resident size) and prints a
      Markdown table
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


def run_once(argv):
    """Wall seconds and CPU seconds of one run of argv, its output thrown away."""
    with open(os.devnull, "wb") as null:
        start = time.perf_counter()
        pid = os.posix_spawnp(argv[0], argv, os.environ,
                              file_actions=[(os.POSIX_SPAWN_DUP2, null.fileno(), 1)])
        _, status, usage = os.wait4(pid, 0)
        wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("measure: %s failed (status %d)" % (shlex.join(argv), os.waitstatus_to_exitcode(status)))
    return wall, usage.ru_utime + usage.ru_stime


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
            "peak_rss_mb": peak_kilobytes(argv) / 1024,
            "runs": runs,
        }
    return summary


LENGTHS_M = (0.1, 1, 10)
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
            for metres in LENGTHS_M:
                options = label_options(metres, dpi)
                info = json.loads(os.popen(shlex.join([tq33, "info", "--json"] + options)).read())
                width, height = info["page"]["cx"], info["page"]["cy"]
                image = os.path.join(workdir, "label-%d-%d.pgm" % (width, height))
                if not os.path.exists(image):
                    write_image(width, height, image)
                argv = [tq33, "print", image, "-o", os.path.join(workdir, "label.bin"),
                        "--halftone", mode] + options
                figures = time_commands(runs, [("print", argv)])["print"]
                cells.append((width * height, figures))
            rows.append((mode, dpi, cells))
    print("| Halftone | dpi | " + " | ".join("%g m" % m for m in LENGTHS_M) +
          " | 10 m / 1 m |")
    print("|---|---|" + "---|" * (len(LENGTHS_M) + 1))
    for mode, dpi, cells in rows:
        text = ["%.0f ms, %.0f MB (%.1f Mpx)" % (f["wall_ms"], f["peak_rss_mb"], px / 1e6)
                for px, f in cells]
        growth = cells[2][1]["wall_ms"] / cells[1][1]["wall_ms"]
        print("| %s | %d | %s | %.1f x time |" % (mode, dpi, " | ".join(text), growth))


def main(args):
    if len(args) == 4 and args[0] == "image":
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
    for spec in args[2:]:
        name, _, command = spec.partition("=")
        named.append((name, shlex.split(command)))
    summary = time_commands(int(args[1]), named)
    if as_json:
        print(json.dumps(summary))
        return
    first = summary[named[0][0]]
    print("%-14s %10s %10s %10s %10s %10s" %
          ("", "median ms", "fastest ms", "CPU ms", "peak MB", "x first"))
    for name, s in summary.items():
        print("%-14s %10.1f %10.1f %10.1f %10.1f %10.1f" %
              (name, s["wall_ms"], s["fastest_ms"], s["cpu_ms"], s["peak_rss_mb"],
               s["wall_ms"] / first["wall_ms"]))


if __name__ == "__main__":
    main(sys.argv[1:])
