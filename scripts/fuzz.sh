#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while.
#   scripts/fuzz.sh [SECONDS] [TARGET...]     (default 60 seconds, every target)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
[ "${1:-}" = "--help" ] && { sed -n '2,3p' "$0" | sed 's/^# //'; exit 0; }
secs="${1:-60}"; shift || true
scripts/setup.sh
export CCACHE_DIR="${CCACHE_DIR:-$here/.cache/ccache}"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQM_FUZZ=ON -DQM_BENCH=OFF -DBUILD_TESTING=OFF >/dev/null
cmake --build build/fuzz -j "$(nproc)"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(find build/fuzz/bin -maxdepth 1 -name '*_fuzz' -printf '%f\n' | sort)
fi
for t in "${targets[@]}"; do
  corpus="build/fuzz/corpus/$t"; mkdir -p "$corpus"
  seeds="fuzz/corpus/$t"; [ -d "$seeds" ] || seeds=""
  echo "== $t for ${secs}s =="
  "build/fuzz/bin/$t" -max_total_time="$secs" -print_final_stats=1 "$corpus" $seeds 2>&1 \
    | grep -E 'stat::number_of_executed_units|stat::peak_rss|ERROR|SUMMARY' || true
done
