#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the shipped Windows drivers, the 32-bit and the 64-bit pair, under Wine and compares
# what each prints, byte for byte, with what the Linux build prints for the same documents.
#   scripts/wine.sh [JOBS]                 what `make wine` runs
#   scripts/wine.sh --broken-pe [JOBS]     the same with a throwaway driver that calls one
#                                          engine import with the wrong calling convention;
#                                          succeeds only when the comparison fails, and
#                                          `tq33 print --via-wine 32` fails on that driver
# TQ33_M32_EMULATE=1 runs 32-bit Wine under qemu-i386 on any machine.
#
# Then the tool's jobs through both DLLs (tests/cli/via_wine_test.cpp): every print and
# info of the tool's tests and of the CUPS filter's comparisons with the tool, repeated
# with --via-wine 32 and --via-wine 64 (tests/support/tool_runner.cpp), the label documents
# and a seeded random sample of option combinations, each against the Linux tool byte for
# byte. TQ33_VIA_WINE_CORPUS=0 leaves them out (a sample of them runs in `make test`).
#
# Each Windows side is a TQ33KV.DLL as shipped (build/windows/bin, 32-bit, and
# build/windows64/bin, 64-bit), installed in a Windows layout (C:\TQ33\drivers) in the
# private prefix build/wine/prefix, and printed with by its own print_documents.exe, which
# Wine runs with the stand-in GDI32.dll and WINSPOOL.DRV of the same width beside it;
# KERNEL32, ADVAPI32, VERSION and msvcrt are Wine's. The 64-bit side prints the documents
# from the settings record the 32-bit DLL made, as a 64-bit server prints what a 32-bit
# client saved, and is also handed the 32-bit model-data library, which it must refuse
# cleanly. The Linux side is print_documents of the dev build. Each writes one file per
# document (wine/, documents/); every file must be the same on all three sides.
#
# Where the kernel runs no 32-bit code, 32-bit Wine runs under qemu-i386-static,
# registered for i386 programs in a binfmt_misc of its own inside a user and mount
# namespace that the run makes for itself (Linux 6.7 or later). Nothing is registered
# with the system, and the registration goes with the namespace.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$root/build/wine
prefix=$work/prefix

# The qemu-i386 registration: 32-bit little-endian ELF executables and shared objects.
i386_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
# Wine reserves its address space page by page under qemu unless qemu reserves it first;
# smaller reservations fail ("failed to map the shared user data").
qemu_reserved_va=0x81000000

# A Windows half, run directly or inside the namespace: the prefix (made once), the
# installation of one width laid out afresh, the documents printed into C:\TQ33\spool.
#   wine_side x86|x64 DRIVER [MODEL_DATA_LIBRARY [RECORD]]
wine_side() {
  local arch=$1 driver=$2 build=$root/build/windows loader=wine
  if [ "$arch" = x64 ]; then
    build=$root/build/windows64
    loader=/usr/lib/wine/wine64
  fi
  local programs=$build/wine library=${3:-$build/bin/TQ33Ki3.dll} record=${4:-}
  export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all
  if [ ! -f "$prefix/system.reg" ]; then
    echo "wine: making the prefix $prefix"
    # Wine's own background programs are 64-bit; no Mono or Gecko installers.
    WINEDLLOVERRIDES="mscoree,mshtml=" /usr/lib/wine/wine64 wineboot --init
    wineserver -w
  fi
  # One program at a time on the prefix: the tool's jobs set the registry too.
  exec {lock}>"$work/prefix.lock"
  flock "$lock"
  local drivers=$prefix/drive_c/TQ33/drivers spool=$prefix/drive_c/TQ33/spool
  rm -rf "$drivers" "$spool"
  mkdir -p "$drivers/3" "$spool"
  cp "$driver" "$drivers/TQ33KV.DLL"
  cp "$root/data/tq33.model" "$drivers/TQ33KV.MDL"
  cp "$root/data/sample-media.dat" "$drivers/TQ33KV.DAT"
  cp "$library" "$drivers/3/TQ33Ki3.dll"
  cp "$programs/TQ33Kr.dll" "$drivers/3/"
  local arguments=('C:\TQ33\spool')
  if [ -n "$record" ]; then
    cp "$record" "$prefix/drive_c/TQ33/record.bin"
    arguments+=('C:\TQ33\record.bin')
  fi
  local status=0
  # The override is the runner's alone: Wine's background programs keep their own
  # libraries, and fall back on them when they look for ours. A runner that hangs (a
  # broken driver can) is stopped after 10 minutes; it takes seconds.
  (cd "$programs" && WINEDLLOVERRIDES="gdi32,winspool.drv=n,b" \
     timeout --kill-after=10 600 "$loader" print_documents.exe "${arguments[@]}") \
    > "$work/wine-$arch.log" 2>&1 || status=$?
  wineserver -w
  return $status
}

# The same inside the namespace, with qemu-i386 registered in its own binfmt_misc.
emulated_wine_side() {
  if ! mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null; then
    echo "wine: cannot mount a binfmt_misc of our own (needs Linux 6.7 or later; this is $(uname -r))" >&2
    return 1
  fi
  printf '%s' ":tq33-i386:M::$i386_magic:$i386_mask:/usr/bin/qemu-i386-static:F" \
    > /proc/sys/fs/binfmt_misc/register
  QEMU_RESERVED_VA=$qemu_reserved_va wine_side "$@"
}

case "${1:-}" in
  --wine-side) shift; wine_side "$@"; exit ;;
  --emulated-wine-side) shift; emulated_wine_side "$@"; exit ;;
esac

broken=0
if [ "${1:-}" = --broken-pe ]; then
  broken=1
  shift
fi
jobs="${1:-$(nproc)}"

scripts/setup.sh wine
if [ "${TQ33_M32_EMULATE:-0}" = 1 ]; then
  mode=emulated
  why="TQ33_M32_EMULATE=1"
elif /usr/lib/wine/wine --version >/dev/null 2>&1; then
  mode=native
else
  mode=emulated
  why="this kernel runs no 32-bit code"
fi
if [ $mode = emulated ]; then
  scripts/setup.sh wine-emulated
  echo "wine: 32-bit Wine emulated: qemu-i386 ($why)"
else
  echo "wine: 32-bit Wine native"
fi

# The DLLs as shipped (with their tables checked), the Windows programs of wine/, and the
# Linux reference.
# Both builds are configured again first (quick, on their caches): a build directory made
# before wine/ existed has no rule for its targets yet.
[ -f build/dev/CMakeCache.txt ] || scripts/setup.sh test
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs" --target all wine_programs
if ((!broken)); then
  scripts/setup.sh windows64
  cmake --preset windows64 >/dev/null
  cmake --build --preset windows64 -j "$jobs" --target all wine_programs
fi
cmake --preset dev >/dev/null
cmake --build --preset dev -j "$jobs" --target print_documents

driver=$root/build/windows/bin/TQ33KV.DLL
if ((broken)); then
  # A throwaway driver: the same sources, with every call of EngCreatePalette made through
  # a cdecl pointer to the stdcall import, so that the caller and the callee both clear
  # its 24 bytes of arguments off the stack. Its tables are those of the real driver.
  broken_dir=$root/build/wine-broken-pe
  rm -rf "$broken_dir"
  mkdir -p "$broken_dir"
  cat > "$broken_dir/wrong_convention.h" <<'EOF'
#include <windows.h>
#include <winspool.h>
#include <winddi.h>
#define EngCreatePalette(...)                                                              \
  reinterpret_cast<HPALETTE(__cdecl*)(ULONG, ULONG, ULONG*, FLONG, FLONG, FLONG)>(         \
      reinterpret_cast<void (*)()>(&EngCreatePalette))(__VA_ARGS__)
EOF
  cmake -S . -B "$broken_dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" \
    "-DCMAKE_CXX_FLAGS=-isystem $root/platform/win32 -include $broken_dir/wrong_convention.h" \
    -DTQ33_TESTS=OFF -DTQ33_TOOLS=OFF -DTQ33_CUPS=OFF >/dev/null
  cmake --build "$broken_dir" -j "$jobs" --target check_dll_tables
  echo "wine: the throwaway driver's tables pass their check"
  driver=$broken_dir/bin/TQ33KV.DLL
  if cmp -s "$driver" build/windows/bin/TQ33KV.DLL; then
    echo "wine: the throwaway driver is the same as the shipped one" >&2
    exit 1
  fi
fi

rm -rf "$work/reference" "$work/spool-x86" "$work/spool-x64"
mkdir -p "$work/reference"
if ! build/dev/bin/print_documents "$work/reference" data/tq33.model data/sample-media.dat \
       > "$work/reference.log" 2>&1; then
  echo "wine: the Linux build failed to print the documents:" >&2
  cat "$work/reference.log" >&2
  exit 1
fi

started=$SECONDS
wine_status=0
if [ $mode = native ]; then
  "$0" --wine-side x86 "$driver" || wine_status=$?
else
  unshare --user --map-root-user --mount "$0" --emulated-wine-side x86 "$driver" || wine_status=$?
fi
cp -r "$prefix/drive_c/TQ33/spool" "$work/spool-x86" 2>/dev/null || mkdir -p "$work/spool-x86"
echo "wine: the 32-bit side took $((SECONDS - started)) s (print_documents.exe exit status $wine_status)"
if ((wine_status)); then
  echo "wine: the 32-bit print_documents.exe under Wine said (all of it in build/wine/wine-x86.log):"
  head -n 40 "$work/wine-x86.log" | sed 's/^/  /'
fi
arches=(x86)

# The 64-bit pair runs natively on every machine: the documents from the 32-bit DLL's
# settings record; then the installation with the 32-bit model-data library, on which the
# 64-bit driver must make no context and end cleanly (status 1, its reason said).
if ((!broken)); then
  arches+=(x64)
  driver64=$root/build/windows64/bin/TQ33KV.DLL
  record=$work/spool-x86/default-settings-record.bin
  [ -f "$record" ] || record=""
  started=$SECONDS
  wine64_status=0
  "$0" --wine-side x64 "$driver64" "" "$record" || wine64_status=$?
  cp -r "$prefix/drive_c/TQ33/spool" "$work/spool-x64" 2>/dev/null || mkdir -p "$work/spool-x64"
  echo "wine: the 64-bit side took $((SECONDS - started)) s, printing from the 32-bit DLL's settings record (print_documents.exe exit status $wine64_status)"
  if ((wine64_status)); then
    wine_status=$wine64_status
    echo "wine: the 64-bit print_documents.exe under Wine said (all of it in build/wine/wine-x64.log):"
    head -n 40 "$work/wine-x64.log" | sed 's/^/  /'
  fi
  refused=0
  "$0" --wine-side x64 "$driver64" "$root/build/windows/bin/TQ33Ki3.dll" || refused=$?
  if [ $refused = 1 ] && grep -q "makes no context" "$work/wine-x64.log"; then
    echo "wine: the 64-bit driver refuses the 32-bit model-data library cleanly"
  else
    echo "wine: the 64-bit driver did not refuse the 32-bit model-data library cleanly (exit status $refused):" >&2
    head -n 20 "$work/wine-x64.log" | sed 's/^/  /' >&2
    wine_status=1
  fi
fi

# The verdicts, document by document, in the order the reference printed them.
passed=0
failed=0
for arch in "${arches[@]}"; do
  while IFS=: read -r name _; do
    reference=$work/reference/$name.bin
    printed=$work/spool-$arch/$name.bin
    if [ ! -f "$printed" ]; then
      verdict="MISSING    $arch $name: nothing printed under Wine"
    elif cmp -s "$reference" "$printed"; then
      verdict="identical  $arch $name ($(stat -c %s "$printed") bytes)"
    else
      first=$(cmp "$reference" "$printed" 2>&1 | grep -o 'byte [0-9]*' || true)
      verdict="DIFFERENT  $arch $name: $(stat -c %s "$printed") bytes under Wine, $(stat -c %s "$reference") on Linux; first difference at ${first:-the end}"
    fi
    echo "  $verdict"
    if [[ $verdict == identical* ]]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  done < "$work/reference.log"
done

if ((broken)); then
  if ((!failed)); then
    echo "wine: the throwaway driver with a cdecl call of EngCreatePalette went unnoticed" >&2
    exit 1
  fi
  echo "wine: the throwaway driver with a cdecl call of EngCreatePalette was caught: $failed of $((passed + failed)) documents fail"
  # The tool on a build tree whose 32-bit driver is the throwaway one must fail the job.
  tree=$broken_dir/tree
  rm -rf "$tree"
  mkdir -p "$tree/windows/bin"
  cp "$driver" "$tree/windows/bin/TQ33KV.DLL"
  ln -s "$root/build/windows/bin/TQ33Ki3.dll" "$tree/windows/bin/"
  ln -s "$root/build/windows/wine" "$tree/windows/wine"
  ln -s "$work" "$tree/wine"
  cmake --build --preset dev -j "$jobs" --target tq33
  tool_status=0
  TQ33_WINE_BUILD=$tree build/dev/bin/tq33 print data/samples/1-shipping.png --fit contain \
    --via-wine 32 -o "$work/broken.bin" 2> "$work/broken.log" || tool_status=$?
  if ((tool_status == 1)); then
    echo "wine: tq33 print --via-wine 32 fails on it: $(tail -n 1 "$work/broken.log")"
    exit 0
  fi
  echo "wine: tq33 print --via-wine 32 did not fail on the throwaway driver (status $tool_status)" >&2
  exit 1
fi
echo "wine: $passed passed, $failed failed"

corpus_status=0
if [ "${TQ33_VIA_WINE_CORPUS:-1}" = 1 ]; then
  cmake --build --preset dev -j "$jobs" --target unit_tests
  corpus='PrintTest.*:InfoTest.*:DecodeTest.*:RasterFilterTest.PrintsTheSameBytesAsTheToolForTheSameImage'
  corpus+=':CupsQueueTest.LandscapeArtworkPrintsAsTheToolPrintsItInLandscape:ViaWineTest.*'
  started=$SECONDS
  TQ33_VIA_WINE="32 64" TQ33_VIA_WINE_ALL=1 build/dev/bin/unit_tests --gtest_filter="$corpus" \
    > "$work/via-wine.log" 2>&1 || corpus_status=$?
  count=$(grep -o '^via-wine: .*' "$work/via-wine.log" || echo "via-wine: no command lines repeated")
  echo "wine: the tool's jobs through both DLLs, $((SECONDS - started)) s: ${count#via-wine: }"
  if ((corpus_status)); then
    echo "wine: the tool's jobs differ or fail under Wine (all of it in build/wine/via-wine.log):"
    grep -E '^\[  FAILED|Failure$|: tq33 ' "$work/via-wine.log" | head -n 40 | sed 's/^/  /'
  fi
fi
((failed == 0 && passed > 0 && wine_status == 0 && corpus_status == 0))
