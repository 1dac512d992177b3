#!/usr/bin/env bash
# Sets everything up, builds and runs the whole test suite: once in a normal build and once
# with AddressSanitizer + UndefinedBehaviorSanitizer.
#   scripts/test.sh            both builds
#   scripts/test.sh --quick    the normal build only
#   scripts/test.sh --asan     the sanitizer build only
# Extra arguments after -- go to ctest (for example: -- -R Registry).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"

builds=(normal asan)
ctest_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) builds=(normal) ;;
    --asan) builds=(asan) ;;
    --) shift; ctest_args=("$@"); break ;;
    -h|--help) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "test.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done

scripts/setup.sh
export CCACHE_DIR="${CCACHE_DIR:-$here/.cache/ccache}"
jobs=$(nproc)

for b in "${builds[@]}"; do
  dir="build/$b"
  flags=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo)
  if [ "$b" = asan ]; then
    flags+=(-DQM_SANITIZE=ON -DQM_BENCH=OFF)
  fi
  echo "== $b build =="
  cmake -S . -B "$dir" "${flags[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "== $b tests =="
  (
    cd "$dir"
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    ctest --output-on-failure -j "$jobs" --timeout 600 "${ctest_args[@]}"
  )
done
echo "== all tests passed =="
