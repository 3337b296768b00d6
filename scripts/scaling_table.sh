#!/usr/bin/env bash
# How the cost of a print grows with the label: `tq33 print` of photo-like labels of 0.1, 1
# and 10 m on 18 mm tape at 360 and 720 dpi, in each halftone mode; the median wall time of
# RUNS runs (default 5) and the peak resident size, as the Markdown table of the README's
# speed section. A measuring tool, not part of CI.
#   scripts/scaling_table.sh [RUNS]
set -euo pipefail
runs=${1:-5}
cd "$(dirname "$0")/.."
./scripts/setup.sh build peers
[ -f build/release/CMakeCache.txt ] || cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target tq33 tq33modeldata >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "Machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores," \
     "load average $(cut -d' ' -f1-3 /proc/loadavg); median of $runs runs"
echo
python3 scripts/measure.py scaling "$runs" "$PWD/build/release/bin/tq33" "$work"
