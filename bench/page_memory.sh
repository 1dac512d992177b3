#!/usr/bin/env bash
# qmhttpd's memory under steady load: the printer list page for N simulated printers requested
# by wrk with a few clients for MINUTES, everything at the lowest CPU priority so that other
# work goes on. Prints the server's resident memory and open descriptors once a minute.
#   bench/page_memory.sh BIN [MINUTES] [N] [CLIENTS]
# BIN is a build's bin/ folder; defaults: 30 minutes, 5 printers, 2 clients.
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
bin="$(cd "$1" && pwd)"
minutes="${2:-30}"; n="${3:-5}"; clients="${4:-2}"
command -v wrk >/dev/null || { echo "page_memory.sh: wrk not found (Debian package wrk)" >&2; exit 3; }
state=$(mktemp -d); root=$(mktemp -d); pids=()
snmp_port=$((20000 + RANDOM % 20000))
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  "$src/scripts/printers.sh" stop --state "$state" >/dev/null 2>&1 || true
  rm -rf "$state" "$root"
}
trap cleanup EXIT
renice -n 19 $$ >/dev/null   # everything started from here inherits it

files=(); all=("$src"/support/snmpgw/printers/*.snmprec)
for ((k = 0; k < n; k++)); do
  f="$state/p$k.snmprec"
  sed "s/^\(1\.3\.6\.1\.2\.1\.2\.2\.1\.6\.1|4x|\).*/\1$(printf '0050C2B3%04X' "$k")/" "${all[k % ${#all[@]}]}" > "$f"
  files+=("$f")
done
"$src/scripts/printers.sh" start --state "$state" --port "$snmp_port" --net 127.0.4 --first 1 "${files[@]}" >/dev/null

mkdir -p "$root"/{bin,html,htdocs,cache,conf,ntf,run,log}
cp -r "$src/site/html/." "$root/html/"
"$bin/qmhttpd" --root "$root" --seed-registry >/dev/null
"$bin/qmreg" --root "$root" setnum 'HKLM\SOFTWARE\OvrelNet\OvrelNetQuinsward\Setup' SnmpPort "$snmp_port"
"$bin/qmconf" --root "$root" set QMC_BroadIPLocal OFF QMC_BroadIPXLocal OFF \
  QMC_BroadIPAdr1 127.0.4.255 QMC_BroadSubnet1 255.255.255.0 >/dev/null
cat > "$root/html/en/reg.htm" <<'T'
[% $S = QMTAG.TAGStartDeviceDiscovery("51003", "", "1", "", "1", "1", "1", "", "", "") %][% $K = QMTAG.TAGGetDiscoveryResult($S) %][% WHILE ($ERROR_TAG_LEVEL == 0) %][% OUTHTML($K) %];[% $K = QMTAG.TAGGetDiscoveryResult($S) %][% ENDWHILE %][% QMTAG.TAGEndDeviceDiscovery($S) %]
T
"$bin/qmpage" --root "$root" 'LANGUAGE=en|TEMPLATE=reg.htm' >/dev/null
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$bin/qmhttpd" --root "$root" --port "$port" >/dev/null 2>&1 & pids+=($!)
server=${pids[0]}
url="http://127.0.0.1:$port/qm?LANGUAGE=en&TEMPLATE=printers.htm"
for _ in $(seq 100); do curl -fs "$url" -o /dev/null && break; sleep 0.2; done
echo "printers listed: $(curl -fs "$url" | grep -o 'printer.htm&amp;KEY' | wc -l) of $n"

wrk -t1 -c"$clients" -d"${minutes}m" --timeout 120s "$url" > "$state/wrk.out" 2>&1 & pids+=($!)
load=${pids[-1]}
sample() {
  printf '%4s min  rss %7s kB  fds %4s\n' "$1" "$(awk '/VmRSS/ {print $2}' "/proc/$server/status")" \
    "$(ls "/proc/$server/fd" | wc -l)"
}
sample 0
for ((m = 1; m <= minutes; m++)); do
  sleep 60
  kill -0 "$server" 2>/dev/null || { echo "qmhttpd ended"; exit 1; }
  sample "$m"
done
wait "$load" || true
awk '/requests in|Requests\/sec|Non-2xx|Socket errors/' "$state/wrk.out"
sample end
