# Sourced by the page benches: simulated printers, and an installation root of one build that
# serves the printer list. The caller sets $src (the source tree), $state (a scratch folder)
# and $snmp_port, and keeps the pids it must stop in the array `pids`.

# A free TCP port on 127.0.0.1.
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# start_printers N NET MAC_PREFIX: N agents on NET.1, NET.2, ... Printer k serves data file
# k mod 5 with a MAC of its own (MAC_PREFIX + k), so that every agent counts as a printer.
start_printers() {
  local n="$1" net="$2" mac="$3" k f files=() all=("$src"/support/snmpgw/printers/*.snmprec)
  for ((k = 0; k < n; k++)); do
    f="$state/p$k.snmprec"
    sed "s/^\(1\.3\.6\.1\.2\.1\.2\.2\.1\.6\.1|4x|\).*/\1$(printf '%s%04X' "$mac" "$k")/" "${all[k % ${#all[@]}]}" > "$f"
    files+=("$f")
  done
  "$src/scripts/printers.sh" start --state "$state" --port "$snmp_port" --net "$net" --first 1 "${files[@]}" >/dev/null
}

# serve_root BIN ROOT NET: lays out ROOT for the build in BIN, registers the printers on NET by
# a discovery sweep (unicast over the loopback subnet, no broadcast) and starts that build's
# qmhttpd. Sets $url (the printer list), $listed (printers it lists) and adds the server's pid
# to `pids` (last).
serve_root() {
  local bin="$1" root="$2" net="$3" port
  mkdir -p "$root"/{bin,html,htdocs,cache,conf,ntf,run,log}
  cp -r "$src/site/html/." "$root/html/"
  "$bin/qmhttpd" --root "$root" --seed-registry >/dev/null
  "$bin/qmreg" --root "$root" setnum 'HKLM\SOFTWARE\OvrelNet\OvrelNetQuinsward\Setup' SnmpPort "$snmp_port"
  "$bin/qmconf" --root "$root" set QMC_BroadIPLocal OFF QMC_BroadIPXLocal OFF \
    QMC_BroadIPAdr1 "$net.255" QMC_BroadSubnet1 255.255.255.0 >/dev/null
  cat > "$root/html/en/reg.htm" <<'T'
[% $S = QMTAG.TAGStartDeviceDiscovery("51003", "", "1", "", "1", "1", "1", "", "", "") %][% $K = QMTAG.TAGGetDiscoveryResult($S) %][% WHILE ($ERROR_TAG_LEVEL == 0) %][% OUTHTML($K) %];[% $K = QMTAG.TAGGetDiscoveryResult($S) %][% ENDWHILE %][% QMTAG.TAGEndDeviceDiscovery($S) %]
T
  "$bin/qmpage" --root "$root" 'LANGUAGE=en|TEMPLATE=reg.htm' >/dev/null
  port=$(free_port)
  "$bin/qmhttpd" --root "$root" --port "$port" >/dev/null 2>&1 & pids+=($!)
  url="http://127.0.0.1:$port/qm?LANGUAGE=en&TEMPLATE=printers.htm"
  for _ in $(seq 100); do curl -fs "$url" -o /dev/null && break; sleep 0.2; done
  listed=$(curl -fs "$url" | grep -o 'printer.htm&amp;KEY' | wc -l)
}
