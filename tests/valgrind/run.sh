#!/usr/bin/env bash
# Valgrind memcheck on the multi-process scenario: the suite runs from a temporary root with
# qmhttpd, Qmonmgr, Qntfmgr, qntpset and the receiver each under
#   valgrind --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=99
# while pages are requested, alerts change, traps arrive and notices are delivered; then every
# service is stopped by its own stop command and the reports are read. Nothing is killed.
#   tests/valgrind/run.sh [--build DIR] [--minutes N] [--out DIR]
# Reports: one file per process in --out (default build/normal/valgrind). Exit 0 when no
# process reported an error (invalid read or write, uninitialised use, definite leak, ...),
# 1 otherwise, 77 when valgrind or another tool is missing.
set -euo pipefail
here="$(cd "$(dirname "$0")/../.." && pwd)"
build="$here/build/normal"
minutes=2
out=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$2"; shift ;;
    --minutes) minutes="$2"; shift ;;
    --out) out="$2"; shift ;;
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done
command -v valgrind >/dev/null || { echo "valgrind is not installed (scripts/setup.sh installs it); skipped"; exit 77; }
out="${out:-$build/valgrind}"
rm -rf "$out"
mkdir -p "$out"
exec "$here/tests/crash/crash_test.sh" --build "$build" --minutes "$minutes" --no-kills \
  --valgrind "$out" --settle 900
