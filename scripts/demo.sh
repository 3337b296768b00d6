#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The quick start: prints the sample labels of data/samples/ with the built-in default
# installation, decodes the printer stream and renders its first page.
#   scripts/demo.sh [BIN_DIR]     (default build/release/bin; `make demo` builds it first)
set -euo pipefail
cd "$(dirname "$0")/.."
bin="${1:-build/release/bin}"
tq33="$bin/tq33"
if [ ! -x "$tq33" ]; then
  echo "demo: $tq33 is not built; run \`make demo\`" >&2
  exit 1
fi

mkdir -p out
rm -f out/demo.bin out/demo-*.png
samples=(data/samples/*.png)

start=$(date +%s%N)
"$tq33" print "${samples[@]}" --fit contain -o out/demo.bin
end=$(date +%s%N)
"$tq33" decode out/demo.bin --png out/demo > out/demo.txt

pages=$(ls out/demo-*.png | wc -l)
bytes=$(wc -c < out/demo.bin)
echo "Printed ${#samples[@]} labels from data/samples/ in $(( (end - start) / 1000000 )) ms:"
echo "  out/demo.bin     $bytes bytes for the spooler, $pages pages (framed output)"
echo "  out/demo-N.png   each page's dots as the label comes out of the printer"
echo
echo "The first page, decoded (all of it in out/demo.txt):"
sed -n '2,6p' out/demo.txt
