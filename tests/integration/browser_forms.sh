#!/usr/bin/env bash
# The site's forms walked in headless Chromium (browser_forms.py, over the browser's DevTools
# pipe) against the simulated printers, each result checked on the page that follows.
# Screenshots are kept in the build folder (forms-*.png).
set -euo pipefail
build="$1"
source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
root=$(mktemp -d /tmp/qmforms.XXXXXX)
chmod 755 "$root"   # the agents run as nobody and read their data below it
pid=""
state="$root/run/printers"
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  "$source_dir/scripts/printers.sh" stop --state "$state" >/dev/null 2>&1 || true
  wait 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT
free_port() { python3 -c 'import socket,sys; s=socket.socket(socket.AF_INET, getattr(socket,"SOCK_"+sys.argv[1])); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' "$1"; }
browser=$(command -v chromium || true)
[ -n "$browser" ] || { echo "chromium is not installed (scripts/setup.sh installs it)"; exit 1; }

cmake --install "$build" --prefix "$root" >/dev/null
snmp_port=$(free_port DGRAM)
net="127.0.$((RANDOM % 200 + 20))"
"$source_dir/scripts/printers.sh" start --state "$state" --port "$snmp_port" --net "$net" >/dev/null
"$root/sbin/qmreg" --root "$root" setnum 'HKLM\SOFTWARE\OvrelNet\OvrelNetQuinsward\Setup' SnmpPort "$snmp_port"
# Only the five printers' own addresses are searched: never a broadcast.
"$root/sbin/qmconf" --root "$root" set QMC_BroadIPLocal OFF QMC_BroadIPXLocal OFF \
  QMC_BroadIPAdr6 "$net.11" QMC_BroadIPAdr7 "$net.12" QMC_BroadIPAdr8 "$net.13" \
  QMC_BroadIPAdr9 "$net.14" QMC_BroadIPAdr10 "$net.15" >/dev/null
"$root/sbin/qmreg" --root "$root" setnum 'HKLM\SOFTWARE\OvrelNet\OvrelNetQuinsward\Setup' SnmpTimeout 700
"$root/sbin/qmreg" --root "$root" setnum 'HKLM\SOFTWARE\OvrelNet\OvrelNetQuinsward\Setup' SnmpRetries 1
port=$(free_port STREAM)
"$root/sbin/qmhttpd" --root "$root" --port "$port" 2>"$root/log/qmhttpd.err" &
pid=$!
for _ in $(seq 100); do curl -fs "http://127.0.0.1:$port/" >/dev/null 2>&1 && break; sleep 0.1; done

python3 "$source_dir/tests/integration/browser_forms.py" "$browser" "http://127.0.0.1:$port" "$net" "$build"
