#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) and
# runs each one in turn.
#   scripts/fuzz.sh [SECONDS] [TARGET...]      each target for SECONDS (default 60)
#   scripts/fuzz.sh --runs N [--max-seconds S] [--keep] [TARGET...]
#                                              each target for N executions, at most S seconds
#   --keep     merge what a run found into the kept corpus fuzz/corpus/TARGET (minimised)
#   --report F append one line per target to F: target, executions, seconds, outcome
# A crash stops nothing: every target runs, the crashing input is left in build/fuzz/crashes/,
# and the script exits 1 at the end.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"

secs=60 runs=0 keep=0 report=""
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    --runs) runs="$2"; secs=0; shift ;;
    --max-seconds) secs="$2"; shift ;;
    --keep) keep=1 ;;
    --report) report="$2"; shift ;;
    -*) echo "fuzz.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    *) if [[ "$1" =~ ^[0-9]+$ ]] && [ ${#targets[@]} -eq 0 ] && [ "$runs" = 0 ]; then secs="$1"
       else targets+=("$1"); fi ;;
  esac
  shift
done

# libFuzzer with the C++20 library needs a clang newer than the default one.
scripts/setup.sh clang-16 libclang-rt-16-dev
export CCACHE_DIR="${CCACHE_DIR:-$here/.cache/ccache}"
CC=clang-16 CXX=clang++-16 cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQM_FUZZ=ON -DQM_BENCH=OFF -DBUILD_TESTING=OFF >/dev/null
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(ninja -C build/fuzz -t targets all | sed -n 's/^\([a-z_]*_fuzz\): .*/\1/p' | grep -v '^cmake_' | sort -u)
fi
# Only the fuzz targets and what they load.
cmake --build build/fuzz -j "$(nproc)" --target "${targets[@]}"

# The targets keep their files under $TMPDIR: on a memory file system the stores' syncs cost
# nothing, which makes the file-backed targets about four times faster.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  TMPDIR="$(mktemp -d /dev/shm/qmfuzz.XXXXXX)"
  export TMPDIR
  trap 'rm -rf "$TMPDIR"' EXIT
fi

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
failed=0
mkdir -p build/fuzz/crashes
for t in "${targets[@]}"; do
  work="build/fuzz/corpus/$t"; mkdir -p "$work"
  seeds="fuzz/corpus/$t"; [ -d "$seeds" ] || seeds=""
  limits=()
  [ "$runs" != 0 ] && limits+=(-runs="$runs")
  [ "$secs" != 0 ] && limits+=(-max_total_time="$secs")
  echo "== $t (${limits[*]}) =="
  log="build/fuzz/$t.log"
  start=$(date +%s)
  outcome=ok
  if ! "build/fuzz/bin/$t" "${limits[@]}" -print_final_stats=1 \
       -artifact_prefix="build/fuzz/crashes/$t-" "$work" $seeds >"$log" 2>&1; then
    outcome=FOUND; failed=1
  fi
  took=$(( $(date +%s) - start ))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log" | tail -1)
  grep -E 'ERROR|SUMMARY' "$log" | head -5 || true
  echo "$t executions=${execs:-?} seconds=$took peak_rss_mb=${rss:-?} $outcome"
  [ -n "$report" ] && echo "$t ${execs:-?} $took ${rss:-?} $outcome" >> "$report"
  if [ "$keep" = 1 ] && [ -n "$seeds" ]; then
    # Only inputs that add coverage join the kept corpus.
    "build/fuzz/bin/$t" -merge=1 "$seeds" "$work" >/dev/null 2>&1 || true
  fi
done
exit $failed
