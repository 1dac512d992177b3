#!/usr/bin/env bash
# Time of the printer list page (site/html/common/printers.htm) through qmpage for N registered
# simulated printers: registers them with a discovery page first (unicast addresses, no
# broadcast), then renders the list a few times.
#   bench/tags24_printers.sh BUILD_BIN_DIR N [RUNS]
set -euo pipefail
bin="$1"; n="$2"; runs="${3:-3}"
src="$(cd "$(dirname "$0")/.." && pwd)"
root=$(mktemp -d); state=$(mktemp -d); port=$((20000 + RANDOM % 20000))
trap '"$src/scripts/printers.sh" stop --state "$state" >/dev/null 2>&1 || true; rm -rf "$root" "$state"' EXIT
mkdir -p "$root"/{bin,html,cache,conf,ntf,run,log}
cp -r "$src/site/html/." "$root/html/"
# Printer k serves data file k mod 5 with a MAC of its own, so that every agent is a printer.
files=(); all=("$src"/support/snmpgw/printers/*.snmprec)
for ((k = 0; k < n; k++)); do
  f="$state/p$k.snmprec"
  sed "s/^\(1\.3\.6\.1\.2\.1\.2\.2\.1\.6\.1|4x|\).*/\1$(printf '0050C2B1%04X' "$k")/" "${all[k % ${#all[@]}]}" > "$f"
  files+=("$f")
done
"$src/scripts/printers.sh" start --state "$state" --port "$port" --net 127.0.2 --first 1 "${files[@]}" >/dev/null
"$bin/qmreg" --root "$root" setnum 'HKLM\SOFTWARE\OvrelNet\OvrelNetQuinsward\Setup' SnmpPort "$port"
"$bin/qmconf" --root "$root" set QMC_BroadIPLocal OFF QMC_BroadIPXLocal OFF
# One search sweeps the loopback subnet by unicast and registers every agent.
"$bin/qmconf" --root "$root" set QMC_BroadIPAdr1 127.0.2.255 QMC_BroadSubnet1 255.255.255.0
cat > "$root/html/en/reg.htm" <<'T'
[% $S = QMTAG.TAGStartDeviceDiscovery("51003", "", "1", "", "1", "1", "1", "", "", "") %][% $K = QMTAG.TAGGetDiscoveryResult($S) %][% WHILE ($ERROR_TAG_LEVEL == 0) %][% OUTHTML($K) %];[% $K = QMTAG.TAGGetDiscoveryResult($S) %][% ENDWHILE %][% QMTAG.TAGEndDeviceDiscovery($S) %]
T
reg=$("$bin/qmpage" --root "$root" 'LANGUAGE=en|TEMPLATE=reg.htm')
echo "registered: $(tr ';' '\n' <<<"$reg" | grep -c '^127' || true) keys"
for ((i = 0; i < runs; i++)); do
  s=$(date +%s.%N)
  out=$("$bin/qmpage" --root "$root" 'LANGUAGE=en|TEMPLATE=printers.htm')
  e=$(date +%s.%N)
  echo "printers listed: $(grep -o 'printer.htm&amp;KEY' <<<"$out" | wc -l)  time: $(echo "$e - $s" | bc) s"
done
