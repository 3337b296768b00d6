#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks manual pages as man-db reads them: groff formats each without a warning, and
# lexgrog finds the NAME section that whatis and apropos index.
#   scripts/check_man_pages.sh PAGE...      (plain or gzip-compressed)
set -uo pipefail
status=0
for page in "$@"; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    echo "$page: groff warns:"; echo "$warnings"; status=1
  fi
  if ! lexgrog "$page" >/dev/null; then
    echo "$page: lexgrog finds no NAME section"; status=1
  fi
done
((status == 0)) && echo "$# manual pages checked: no warnings"
exit $status
