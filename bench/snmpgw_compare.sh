#!/usr/bin/env bash
# Compares whole-process SNMP work of qmsnmp (through the gateway) with net-snmp's tools against
# one snmpsim agent on loopback: the walk of a 1,000-row table, and 200 single gets.
#   bench/snmpgw_compare.sh PATH/TO/qmsnmp [ROUNDS]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
qmsnmp="${1:?usage: snmpgw_compare.sh PATH/TO/qmsnmp [ROUNDS]}"
rounds="${2:-5}"
for p in snmpsimd snmpbulkwalk snmpget python3; do
  command -v "$p" >/dev/null || { echo "snmpgw_compare: $p missing (scripts/setup.sh installs it)"; exit 1; }
done

work="$(mktemp -d /tmp/qm-snmpbench-XXXXXX)"
port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
addr=127.0.0.240
cleanup() { "$here/scripts/printers.sh" stop --state "$work/state" >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT

# A printer with a 1,000-row table of three columns (index, description, counter) under the
# private arc, plus a system group for the gets.
python3 - "$work/table.snmprec" <<'EOF'
import sys
lines = ["1.3.6.1.2.1.1.1.0|4|Benchmark printer", "1.3.6.1.2.1.1.5.0|4|bench"]
for col, t in ((1, 2), (2, 4), (3, 65)):
    for row in range(1, 1001):
        v = row if t == 2 else (f"Job {row:04d} from host-{row % 37}" if t == 4 else row * 4711)
        lines.append(f"1.3.6.1.4.1.40404.9.1.1.{col}.{row}|{t}|{v}")
lines.sort(key=lambda l: tuple(int(x) for x in l.split('|')[0].split('.')))
open(sys.argv[1], "w").write("\n".join(lines) + "\n")
EOF
"$here/scripts/printers.sh" start --state "$work/state" --port "$port" --net 127.0.0 --first 240 \
  "$work/table.snmprec" >/dev/null

table=1.3.6.1.4.1.40404.9.1
now() { date +%s.%N; }
elapsed() { python3 -c "print(f'{$2 - $1:.3f}')"; }

# Same work both sides: SNMPv2c, 25 repetitions per get-bulk, numeric output.
ours_walk() { "$qmsnmp" -v 2c -n 25 -p "$port" walk "$addr" "$table" >"$work/ours.txt"; }
their_walk() { snmpbulkwalk -v2c -c tarlow -Cr25 -On "$addr:$port" "$table" >"$work/theirs.txt"; }
ours_get() { "$qmsnmp" -v 2c -p "$port" get "$addr" 1.3.6.1.2.1.1.5.0 >/dev/null; }
their_get() { snmpget -v2c -c tarlow -On "$addr:$port" 1.3.6.1.2.1.1.5.0 >/dev/null; }

ours_walk; their_walk  # warm both the agent's index and the page cache
[ "$(wc -l < "$work/ours.txt")" -eq 3000 ] || { echo "snmpgw_compare: qmsnmp walk returned $(wc -l < "$work/ours.txt") lines"; exit 1; }
[ "$(wc -l < "$work/theirs.txt")" -eq 3000 ] || { echo "snmpgw_compare: snmpbulkwalk returned $(wc -l < "$work/theirs.txt") lines"; exit 1; }

best() {  # best of $rounds runs of the function $1, in seconds
  local b="" t0 t1 s i
  for i in $(seq "$rounds"); do
    t0=$(now); "$1"; t1=$(now); s=$(elapsed "$t0" "$t1")
    if [ -z "$b" ] || python3 -c "import sys; sys.exit(0 if $s < $b else 1)"; then b=$s; fi
  done
  echo "$b"
}
gets() { local i; for i in $(seq 200); do "$1"; done; }
ours_gets() { gets ours_get; }
their_gets() { gets their_get; }

w_ours=$(best ours_walk); w_theirs=$(best their_walk)
g_rounds=$rounds; rounds=$(( g_rounds < 3 ? g_rounds : 3 ))
g_ours=$(best ours_gets); g_theirs=$(best their_gets)

printf '%-34s %10s %12s %8s\n' "task (whole process each)" "qmsnmp s" "net-snmp s" "ratio"
printf '%-34s %10s %12s %8s\n' "walk of 1,000 rows x 3 columns" "$w_ours" "$w_theirs" \
  "$(python3 -c "print(f'{$w_theirs / $w_ours:.2f}')")"
printf '%-34s %10s %12s %8s\n' "200 single gets" "$g_ours" "$g_theirs" \
  "$(python3 -c "print(f'{$g_theirs / $g_ours:.2f}')")"
echo "(ratio = net-snmp time / qmsnmp time; above 1 means qmsnmp is faster)"
