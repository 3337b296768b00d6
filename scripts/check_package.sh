#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks the Debian package `make package` built: its control fields and dependencies
# (dpkg-deb -I; libc6 as new as its programs' packed relocations need), its file list,
# modes and owners (dpkg-deb -c), that the programs (the tool, the filter, the printer
# application) find the private libraries through run paths inside the package, not the
# build tree, that the unpacked filter prints a page with the unpacked data, libraries and
# PPD, and that lintian finds no error.
#   scripts/check_package.sh [DEB]      (default: the one in build/package)
set -euo pipefail
cd "$(dirname "$0")/.."
deb="${1:-$(ls build/package/printer-driver-tq33_*.deb 2>/dev/null | head -n 1)}"
if [ -z "$deb" ] || [ ! -f "$deb" ]; then
  echo "check_package: no package; run \`make package\`" >&2
  exit 1
fi
failed=0
fail() { echo "check_package: $*" >&2; failed=1; }

echo "== dpkg-deb -I $deb"
dpkg-deb -I "$deb"
[ "$(dpkg-deb -f "$deb" Package)" = printer-driver-tq33 ] || fail "the package's name"
depends=$(dpkg-deb -f "$deb" Depends)
for wanted in libc6 libpng16-16 libjpeg62-turbo libcups2 libpappl1 cups-filters; do
  [[ ", $depends," == *", $wanted "* || ", $depends," == *", $wanted,"* ]] ||
    fail "Depends lacks $wanted: $depends"
done

echo "== dpkg-deb -c $deb"
listing=$(dpkg-deb -c "$deb")
echo "$listing"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
# Mode, owner and path of every file (the directories are checked apart).
expected="-rw-r--r-- root/root ./lib/systemd/system/tq33-printer-app.service
-rwxr-xr-x root/root ./usr/bin/tq33
-rwxr-xr-x root/root ./usr/bin/tq33-printer-app
-rw-r--r-- root/root ./usr/lib/$multiarch/tq33/libtq33codecs.so
-rw-r--r-- root/root ./usr/lib/$multiarch/tq33/libtq33drv.so
-rw-r--r-- root/root ./usr/lib/$multiarch/tq33/libtq33host.so
-rw-r--r-- root/root ./usr/lib/$multiarch/tq33/libtq33modeldata.so
-rwxr-xr-x root/root ./usr/lib/cups/filter/rastertotq33
-rw-r--r-- root/root ./usr/share/cups/model/tq33/tq33.ppd
-rw-r--r-- root/root ./usr/share/doc/printer-driver-tq33/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/printer-driver-tq33/copyright
-rw-r--r-- root/root ./usr/share/man/man1/tq33-printer-app.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/tq33.1.gz
-rw-r--r-- root/root ./usr/share/man/man8/rastertotq33.8.gz
-rw-r--r-- root/root ./usr/share/tq33/sample-media.dat
-rw-r--r-- root/root ./usr/share/tq33/tq33.model"
files=$(awk '$1 !~ /^d/ { print $1, $2, $6 }' <<< "$listing" | sort)
if [ "$files" != "$(sort <<< "$expected")" ]; then
  fail "the file list differs from the expected one:"
  diff <(sort <<< "$expected") <(echo "$files") >&2 || true
fi
odd=$(awk '$1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root") { print }' <<< "$listing")
[ -z "$odd" ] || fail "directories not 755 root/root: $odd"

echo "== run paths"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
for program in usr/bin/tq33 usr/bin/tq33-printer-app usr/lib/cups/filter/rastertotq33 \
               usr/lib/"$multiarch"/tq33/libtq33drv.so; do
  runpath=$(readelf -d "$unpacked/$program" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
  echo "$program: RUNPATH $runpath"
  # An empty entry is the current directory, wherever the program is run from.
  [[ "$runpath" == '$ORIGIN'* && "$runpath" != *"$PWD"* && ":$runpath:" != *::* ]] ||
    fail "$program: run path $runpath"
done
for program in usr/bin/tq33 usr/bin/tq33-printer-app usr/lib/cups/filter/rastertotq33 \
               usr/lib/"$multiarch"/tq33/libtq33codecs.so; do
  if env -u LD_LIBRARY_PATH ldd "$unpacked/$program" | grep -q 'not found'; then
    fail "$program: a library is not found:"; ldd "$unpacked/$program" >&2
  fi
done

# A program or library with packed relocations (DT_RELR) needs the C library of 2.36,
# which no symbol it imports tells dpkg-shlibdeps: Depends must ask for it.
for program in usr/bin/tq33 usr/bin/tq33-printer-app usr/lib/cups/filter/rastertotq33 \
               usr/lib/"$multiarch"/tq33/*.so; do
  if readelf -V "$unpacked"/$program | grep -q GLIBC_ABI_DT_RELR &&
     [[ ", $depends," != *", libc6 (>= 2.36)"* ]]; then
    fail "$program has packed relocations, but Depends does not ask for libc6 (>= 2.36): $depends"
  fi
done

echo "== a page through the unpacked filter"
# CUPS's image filter makes the raster, as a queue would; the filter, unpacked, finds its
# data and libraries under the unpacked tree as it will under /.
ppd="$unpacked/usr/share/cups/model/tq33/tq33.ppd"
if PPD="$ppd" /usr/lib/cups/filter/imagetoraster 1 user check 1 PageSize=Laminated_tape_24mm \
     data/samples/1-shipping.png > "$unpacked/page.ras" 2> "$unpacked/imagetoraster.log" &&
   PPD="$ppd" "$unpacked/usr/lib/cups/filter/rastertotq33" 1 user check 1 "" "$unpacked/page.ras" \
     > "$unpacked/page.bin" 2> "$unpacked/filter.log"; then
  grep '^DEBUG: Printer installation' "$unpacked/filter.log"
  decoded=$("$unpacked/usr/bin/tq33" decode "$unpacked/page.bin")
  echo "$decoded" | head -n 1
  [[ "$decoded" == *", 1 page,"* ]] || fail "the unpacked filter's page does not decode as one page"
else
  fail "the unpacked filter did not print the page:"
  cat "$unpacked/imagetoraster.log" "$unpacked/filter.log" >&2
fi

echo "== images through the unpacked tool"
# The tool loads its PNG and JPEG codecs from beside its libraries when an image needs them.
tool="$unpacked/usr/bin/tq33"
"$tool" print data/samples/1-shipping.png -o "$unpacked/png.bin" ||
  fail "the unpacked tool did not print a PNG"
mv "$unpacked/usr/lib/$multiarch/tq33/libtq33codecs.so" "$unpacked/codecs.so"
printf 'P5\n2 2\n255\n\0\0\0\0' > "$unpacked/dots.pgm"
"$tool" print "$unpacked/dots.pgm" -o "$unpacked/pgm.bin" ||
  fail "without its codec module, the unpacked tool did not print a PGM"
if "$tool" print data/samples/1-shipping.png -o "$unpacked/png.bin" 2> "$unpacked/codecs.log"; then
  fail "without its codec module, the unpacked tool printed a PNG"
fi
grep -q '^tq33: cannot load the PNG and JPEG codecs: ' "$unpacked/codecs.log" ||
  { fail "without its codec module, the tool did not say why:"; cat "$unpacked/codecs.log" >&2; }
mv "$unpacked/codecs.so" "$unpacked/usr/lib/$multiarch/tq33/libtq33codecs.so"

echo "== the printer application's service"
unit="$unpacked/lib/systemd/system/tq33-printer-app.service"
grep -q '^ExecStart=/usr/bin/tq33-printer-app server ' "$unit" || fail "the service does not start /usr/bin/tq33-printer-app server"
[ "$("$unpacked/usr/bin/tq33-printer-app" --version)" = "$(dpkg-deb -f "$deb" Version)" ] ||
  fail "the unpacked printer application does not run"

echo "== lintian $deb"
# Debian's own checks: no error; the warnings left are named in the README.
if command -v lintian > /dev/null; then
  lintian --fail-on error "$deb" || fail "lintian found errors"
else
  fail "lintian is not installed (scripts/setup.sh package)"
fi

((failed == 0)) && echo "check_package: $deb is as expected"
exit $failed
