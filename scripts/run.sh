#!/usr/bin/env bash
# Sets everything up, installs an installation root, starts five simulated printers on
# loopback and serves the management pages.
#   scripts/run.sh [--root DIR] [--port N] [--snmp-port N] [--no-printers]
# Defaults: root ./out/root in the checkout, pages on http://127.0.0.1:8080/, printers on
# 127.0.0.11-15 port 16161. Ctrl-C stops the server and the printers it started.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
root="${QM_ROOT:-$here/out/root}"
port=8080
snmp_port=16161
printers=1
while [ $# -gt 0 ]; do
  case "$1" in
    --root) root="$2"; shift ;;
    --port) port="$2"; shift ;;
    --snmp-port) snmp_port="$2"; shift ;;
    --no-printers) printers=0 ;;
    -h|--help) sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
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

# Discovery searches only the listed loopback addresses: never the local segment, whose
# broadcast would reach the machine's real network.
"$root/sbin/qmconf" --root "$root" set QMC_BroadIPLocal OFF QMC_BroadIPXLocal OFF >/dev/null
state="$root/run/printers"
if [ "$printers" = 1 ]; then
  echo "== starting simulated printers =="
  trap 'scripts/printers.sh stop --state "$state" >/dev/null 2>&1 || true' EXIT
  scripts/printers.sh start --state "$state" --port "$snmp_port"
  "$root/sbin/qmreg" setnum 'HKLM\SOFTWARE\OvrelNet\OvrelNetQuinsward\Setup' SnmpPort "$snmp_port"
  "$root/sbin/qmconf" --root "$root" set \
    QMC_BroadIPAdr6 127.0.0.11 QMC_BroadIPAdr7 127.0.0.12 QMC_BroadIPAdr8 127.0.0.13 \
    QMC_BroadIPAdr9 127.0.0.14 QMC_BroadIPAdr10 127.0.0.15 >/dev/null
  # Register them now, as the Discovery page would, so the printer list is filled at once.
  "$root/sbin/qmpage" --root "$root" LANGUAGE=en TEMPLATE=discover.htm \
    | grep -o 'printer(s) found' >/dev/null || echo "run.sh: the first discovery found nothing" >&2
fi

echo
echo "  Printer management: http://127.0.0.1:$port/qm?LANGUAGE=en&TEMPLATE=printers.htm"
echo "  (Ctrl-C stops the server and the simulated printers)"
echo
"$root/sbin/qmhttpd" --root "$root" --port "$port"
