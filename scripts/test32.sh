#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds every test as a 32-bit Linux build and runs it, natively where the kernel runs
# 32-bit code, otherwise under user-mode emulation (qemu-i386-static).
#   scripts/test32.sh [JOBS]
# TQ33_M32_EMULATE=1 takes the emulated way on any machine.
#
# The native way is the m32 preset, under AddressSanitizer and UBSan. AddressSanitizer does
# not start under qemu-i386 (its shadow memory reservation never finishes there), so the
# emulated way is the m32-emulated preset: the same build with UBSan alone, every test
# executable started through qemu-i386-static by CTest. Nothing is registered with the
# kernel's binfmt_misc, so the machine is left as it was.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="${1:-$(nproc)}"

scripts/setup.sh m32

# Which kind of machine this is, decided once by running a tiny 32-bit program.
runs_32bit_code() {
  local dir rc=0
  dir=$(mktemp -d)
  echo 'int main(void) { return 0; }' > "$dir/probe.c"
  if gcc -m32 -o "$dir/probe" "$dir/probe.c" 2>"$dir/log"; then
    "$dir/probe" 2>>"$dir/log" || rc=1
  else
    echo "test32: gcc -m32 cannot build a 32-bit program:" >&2
    cat "$dir/log" >&2
    rc=2
  fi
  rm -rf "$dir"
  return $rc
}

if [ "${TQ33_M32_EMULATE:-0}" = 1 ]; then
  mode=emulated
  why="TQ33_M32_EMULATE=1"
elif runs_32bit_code; then
  mode=native
else
  [ $? -eq 2 ] && exit 1
  mode=emulated
  why="this kernel runs no 32-bit code"
fi

if [ $mode = native ]; then
  preset=m32
  echo "32-bit tests: native (AddressSanitizer and UBSan)"
else
  scripts/setup.sh m32-emulated
  preset=m32-emulated
  echo "32-bit tests: emulated: qemu-i386 ($why; UBSan only, AddressSanitizer does not run under qemu-i386)"
fi

[ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset"
cmake --build --preset "$preset" -j "$jobs"
ctest --preset "$preset" -j "$jobs" || { scripts/failed_tests.py "build/$preset"; exit 1; }
if [ $mode = native ]; then
  echo "32-bit tests passed: native"
else
  echo "32-bit tests passed: emulated: qemu-i386"
fi
