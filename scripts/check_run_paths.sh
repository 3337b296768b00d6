#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Fails when a program's or library's run path has an empty entry: the loader reads one as
# the directory the program is started from, and would load a library planted there.
#   scripts/check_run_paths.sh FILE...
status=0
for file in "$@"; do
  runpath=$(readelf -d "$file" | sed -n 's/.*(RU*N*PATH).*\[\(.*\)\]/\1/p')
  [ -n "$runpath" ] || continue
  case ":$runpath:" in
    *::*) echo "$file: the run path '$runpath' has an empty entry"; status=1 ;;
  esac
done
exit $status
