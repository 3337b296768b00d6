#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian packages a build needs, and only those that are missing.
#   scripts/setup.sh GROUP...     groups: build test package windows windows64 m32
#                                         m32-emulated wine wine-emulated mutants fuzz peers all
# The one list of what this project needs from the system: the Makefile calls it before
# every target that builds, .ci/run calls it with `all`. When everything is there it costs
# one dpkg-query and prints nothing. apt-get runs as root directly, otherwise through sudo;
# when neither is possible it says which packages to install and fails.
set -euo pipefail

packages_of() {
  case "$1" in
    # the release build: the driver, the tool (libpng, libjpeg, CLI11, JSON), the CUPS
    # filter (libcups), the printer application (libpappl, which brings its runtime
    # libpappl1, and the DNS-SD client's headers for its guard) and the benchmarks
    build) echo build-essential cmake g++ make pkg-config python3 \
                libpng-dev libjpeg-dev libcli11-dev nlohmann-json3-dev libcups2-dev libpappl-dev \
                libavahi-client-dev libbenchmark-dev ;;
    # the tests: GoogleTest, a private cupsd with the stock filters (imagetoraster,
    # pdftopdf, gstoraster) in front of ours, ipptool to see the queue as IPP clients do,
    # and the check of the manual pages
    test) echo "$(packages_of build)" libgtest-dev libgmock-dev googletest cups cups-filters cups-ipp-utils \
               man-db groff-base ;;
    # the Debian package: dpkg-shlibdeps works out its library dependencies (CPack finds
    # the programs among the files with file); its check prints a page with CUPS's image
    # filter in front of ours and runs lintian
    package) echo "$(packages_of build)" dpkg-dev file cups-filters lintian ;;
    # the 32-bit Windows DLLs: the mingw-w64 cross compiler (its -win32 variant is used)
    windows) echo cmake make python3 g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev ;;
    # the 64-bit Windows DLLs: the same for x86-64
    windows64) echo cmake make python3 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 \
                    mingw-w64-x86-64-dev ;;
    # the 32-bit Linux test build, with the sanitizers' 32-bit runtimes, GoogleTest sources
    m32) echo cmake make python3 g++-multilib lib32asan8 lib32ubsan1 googletest ;;
    # where the kernel runs no 32-bit code, the 32-bit tests run under user-mode emulation
    m32-emulated) echo "$(packages_of m32)" qemu-user-static ;;
    # the Windows DLLs run under Wine: 32-bit Wine for the 32-bit driver, 64-bit Wine for
    # the 64-bit one and the prefix's own programs (wine32 is an i386 package: the
    # architecture is added below)
    wine) echo "$(packages_of windows)" "$(packages_of windows64)" wine wine32 wine64 ;;
    # where the kernel runs no 32-bit code, 32-bit Wine runs under user-mode emulation
    wine-emulated) echo "$(packages_of wine)" qemu-user-static ;;
    # the mutation runs: the test build's packages, Ninja for the quick rebuild of a
    # mutant (gcov, for the coverage map, comes with gcc)
    mutants) echo "$(packages_of test)" ninja-build ;;
    # the libFuzzer targets
    fuzz) echo cmake make python3 clang-14 libclang-rt-14-dev ;;
    # the general image tools scripts/compare_peers.sh times the tool against, and GNU time
    # for the peak memory of a run (not for CI)
    peers) echo netpbm imagemagick time ;;
    all) local g; for g in test package windows windows64 m32 wine fuzz; do packages_of "$g"; done ;;
    *) echo "setup: unknown group '$1' (build test package windows windows64 m32 m32-emulated wine wine-emulated mutants fuzz peers all)" >&2
       return 2 ;;
  esac
}

if (($# == 0)); then
  echo "usage: scripts/setup.sh GROUP... (build test package windows windows64 m32 m32-emulated wine wine-emulated mutants fuzz peers all)" >&2
  exit 2
fi

wanted=()
for group in "$@"; do
  list=$(packages_of "$group") || exit 2
  read -r -a more <<< "$list"
  wanted+=("${more[@]}")
done
mapfile -t wanted < <(printf '%s\n' "${wanted[@]}" | sort -u)

# One query for all of them: each installed package prints its name.
mapfile -t installed < <(dpkg-query -W -f='${db:Status-Status} ${Package}\n' "${wanted[@]}" \
                           2>/dev/null | sed -n 's/^installed //p')
missing=()
for p in "${wanted[@]}"; do
  [[ " ${installed[*]} " == *" $p "* ]] || missing+=("$p")
done
((${#missing[@]})) || exit 0

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
  as_root=(sudo)
elif command -v sudo >/dev/null && [ -t 0 ]; then
  as_root=(sudo)   # asks for the password on the terminal
else
  echo "setup: these packages are missing and this user cannot install them (not root, no sudo):" >&2
  echo "  ${missing[*]}" >&2
  echo "setup: install them as root (apt-get install ${missing[*]}) and run make again" >&2
  exit 1
fi
# wine32 is an i386 package: that architecture is enabled once, before apt fetches its lists.
if [[ " ${missing[*]} " == *" wine32 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup: enabling the i386 architecture (dpkg --add-architecture i386)"
  "${as_root[@]}" dpkg --add-architecture i386
fi
echo "setup: installing ${missing[*]}"
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  "${missing[@]}"
