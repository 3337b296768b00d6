#!/usr/bin/env bash
# Times the whole tq33 process against general image tools on one job: a 1 m label at
# 720 dpi on 18 mm tape (page 28119 x 192, landscape) with error diffusion, against
# netpbm's `pamditherbw -fs` and ImageMagick's Floyd-Steinberg dither of the same PGM,
# and `tq33 info` alone (the start-up). The commands run in turn, RUNS rounds (default
# 21); the figures are medians, and the last column says how many times the median of
# `tq33 print` each one takes.
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
job=(--orientation landscape --paper 261 --length 10000 --dpi 720 --halftone diffusion)
# The image is exactly the page the driver makes of that label, so nothing is cropped.
read -r cx cy < <("$bin/tq33" info "${job[@]}" --json |
                  python3 -c 'import json, sys; p = json.load(sys.stdin)["page"]; print(p["cx"], p["cy"])')
python3 scripts/measure.py image "$cx" "$cy" "$work/label.pgm"
# Debian's ImageMagick refuses images wider than 16K pixels unless a policy allows them.
mkdir "$work/magick"
cat > "$work/magick/policy.xml" <<'POLICY'
<policymap>
  <policy domain="resource" name="width" value="1MP"/>
  <policy domain="resource" name="height" value="1MP"/>
</policymap>
POLICY
export MAGICK_CONFIGURE_PATH="$work/magick"

echo "Job: 1 m label, 720 dpi, 18 mm tape, error diffusion ($cx x $cy pixels); $runs rounds"
python3 scripts/measure.py time "$runs" \
  "tq33 print=$bin/tq33 print $work/label.pgm -o $work/label.bin ${job[*]}" \
  "pamditherbw=pamditherbw -fs -quiet $work/label.pgm" \
  "ImageMagick=/usr/bin/convert $work/label.pgm -dither FloydSteinberg -monochrome pbm:-" \
  "tq33 info=$bin/tq33 info"
