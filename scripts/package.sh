#!/usr/bin/env bash
# Builds the Debian package of the suite from the normal build: build/package/quinsward_*.deb.
#   scripts/package.sh
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
[ "${1:-}" = "--help" ] && { sed -n '2,3p' "$0" | sed 's/^# //'; exit 0; }
scripts/setup.sh
export CCACHE_DIR="${CCACHE_DIR:-$here/.cache/ccache}"
cmake -S . -B build/normal -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/normal -j "$(nproc)"
mkdir -p build/package
(cd build/package && cpack --config ../normal/CPackConfig.cmake -B "$here/build/package" >/dev/null)
ls "$here"/build/package/quinsward_*.deb
