#!/usr/bin/env bash
# Sets everything up, installs an installation root and runs the management pages.
#   scripts/run.sh [--root DIR] [--port N]
# Default root: ./out/root in the checkout; default port 8080 (on 127.0.0.1). Ctrl-C stops.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
root="${QM_ROOT:-$here/out/root}"
port=8080
while [ $# -gt 0 ]; do
  case "$1" in
    --root) root="$2"; shift ;;
    --port) port="$2"; shift ;;
    -h|--help) sed -n '2,4p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done

scripts/setup.sh
export CCACHE_DIR="${CCACHE_DIR:-$here/.cache/ccache}"
echo "== building =="
cmake -S . -B build/normal -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
mkdir -p build
if ! cmake --build build/normal -j "$(nproc)" > build/run-build.log 2>&1; then
  tail -n 40 build/run-build.log
  echo "run.sh: the build failed (full log: build/run-build.log)" >&2
  exit 1
fi
echo "== installing into $root =="
cmake --install build/normal --prefix "$root" >/dev/null
export QM_ROOT="$root"

echo
echo "  Printer management: http://127.0.0.1:$port/qm?LANGUAGE=en&TEMPLATE=index.htm"
echo "  (Ctrl-C stops the server)"
echo
exec "$root/bin/qmhttpd" --root "$root" --port "$port"
