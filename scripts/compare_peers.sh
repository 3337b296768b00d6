#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Times the whole tq33 process against general image tools on one job: a 1 m label at
# 720 dpi on 18 mm tape (page 28119 x 192, landscape), from a photo-like PGM and from a
# PGM of text and bars, each of exactly the page's size. In turn, RUNS rounds (default 21):
#   - `tq33 print` with error diffusion against netpbm's `pamditherbw -fs` of the same
#     image (and, in a third as many rounds after these, ImageMagick's Floyd-Steinberg
#     dither of the photo-like one);
#   - `tq33 print` with the threshold against merely reading the PGM and writing the
#     stream it makes (`cat in.pgm > /dev/null; cat out.bin > copy.bin`);
#   - `tq33 info` alone (the start-up) against /bin/true.
# The figures are medians of wall time, CPU time and page faults; the ratios at the end
# compare the medians of each pair, measured in the same rounds.
#
# With --scaling it prints instead how the cost of a print grows with the label: labels of
# 0.1, 0.3 and 1 m (the longest the driver makes) and a document of ten 1 m labels, on 18 mm
# tape at 360 and 720 dpi in each halftone mode, the median CPU time of RUNS runs (default 5)
# and the peak resident size, as the README's Markdown table.
#
# A measuring tool for the README's speed section, not part of CI.
#   scripts/compare_peers.sh [--scaling] [RUNS]
set -euo pipefail
scaling=false
if [ "${1:-}" = --scaling ]; then
  scaling=true
  shift
fi
cd "$(dirname "$0")/.."
./scripts/setup.sh build peers
[ -f build/release/CMakeCache.txt ] || cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target tq33 tq33modeldata >/dev/null
bin=$PWD/build/release/bin

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "Machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores," \
     "load average $(cut -d' ' -f1-3 /proc/loadavg)"
if $scaling; then
  runs=${1:-5}
  echo "Median of $runs runs"
  echo
  python3 scripts/measure.py scaling "$runs" "$bin/tq33" "$work"
  exit 0
fi

runs=${1:-21}
job=(--orientation landscape --paper 261 --length 10000 --dpi 720)
# The images are exactly the page the driver makes of that label, so nothing is cropped.
read -r cx cy < <("$bin/tq33" info "${job[@]}" --json |
                  python3 -c 'import json, sys; p = json.load(sys.stdin)["page"]; print(p["cx"], p["cy"])')
python3 scripts/measure.py image "$cx" "$cy" "$work/photo.pgm"
python3 scripts/measure.py image "$cx" "$cy" "$work/text.pgm" --text-bars
# Debian's ImageMagick refuses images wider than 16K pixels unless a policy allows them.
mkdir "$work/magick"
cat > "$work/magick/policy.xml" <<'POLICY'
<policymap>
  <policy domain="resource" name="width" value="1MP"/>
  <policy domain="resource" name="height" value="1MP"/>
</policymap>
POLICY
export MAGICK_CONFIGURE_PATH="$work/magick"
# The stream the copy writes, there before the first round.
"$bin/tq33" print "$work/photo.pgm" -o "$work/threshold.bin" "${job[@]}" --halftone threshold

echo "Job: 1 m label, 720 dpi, 18 mm tape ($cx x $cy pixels); $runs rounds"
print="$bin/tq33 print -o $work/out.bin ${job[*]}"
python3 scripts/measure.py time "$runs" --json \
  "tq33 print diffusion, photo=$print --halftone diffusion $work/photo.pgm" \
  "pamditherbw -fs, photo=pamditherbw -fs -quiet $work/photo.pgm" \
  "tq33 print diffusion, text=$print --halftone diffusion $work/text.pgm" \
  "pamditherbw -fs, text=pamditherbw -fs -quiet $work/text.pgm" \
  "tq33 print threshold, photo=$print --halftone threshold $work/photo.pgm" \
  "read the PGM, write the stream=cat $work/photo.pgm > /dev/null; cat $work/threshold.bin > $work/copy.bin" \
  "tq33 info=$bin/tq33 info" \
  "/bin/true=/bin/true" > "$work/figures.json"
# ImageMagick in rounds of its own, after the pairs: the 195 MiB it frees slows whatever
# touches fresh memory in the next seconds on a guest that hands freed memory back to its
# host (the threshold job ran half again as long behind it there).
python3 scripts/measure.py time "$(( (runs + 2) / 3 ))" --json \
  "ImageMagick dither, photo=/usr/bin/convert $work/photo.pgm -dither FloydSteinberg -monochrome pbm:-" \
  > "$work/magick.json"
python3 - "$work/figures.json" "$(stat -c %s "$work/threshold.bin")" "$((cx * cy))" "$work/magick.json" <<'REPORT'
import json, sys
figures = json.load(open(sys.argv[1]))
figures.update(json.load(open(sys.argv[4])))
output_pages = -(-int(sys.argv[2]) // 4096)
image_pages = -(-int(sys.argv[3]) // 4096)
print("%-34s %9s %9s %8s %8s %9s" % ("", "median ms", "fastest", "CPU ms", "faults", "peak MiB"))
for name, f in figures.items():
    print("%-34s %9.1f %9.1f %8.1f %8d %9.1f" % (name, f["wall_ms"], f["fastest_ms"], f["cpu_ms"],
                                                f["faults"], f["peak_rss_mb"]))
def ratio(a, b):
    return figures[a]["wall_ms"] / figures[b]["wall_ms"]
print()
print("pamditherbw / tq33 print diffusion: photo %.1f, text %.1f (goal: 5 or more)" %
      (ratio("pamditherbw -fs, photo", "tq33 print diffusion, photo"),
       ratio("pamditherbw -fs, text", "tq33 print diffusion, text")))
print("tq33 print threshold / reading and writing: %.2f (goal: 1.5 or less)" %
      ratio("tq33 print threshold, photo", "read the PGM, write the stream"))
print("tq33 info - /bin/true: %.1f ms (goal: 2 ms or less)" %
      (figures["tq33 info"]["wall_ms"] - figures["/bin/true"]["wall_ms"]))
print("page faults of the threshold job: %d, twice the page and the stream it writes: %d" %
      (figures["tq33 print threshold, photo"]["faults"], 2 * (output_pages + image_pages)))
REPORT
