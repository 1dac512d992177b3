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
chmod 755 "$work"  # the agent drops to an unprivileged user and must read its data
port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
addr=127.0.0.240
cleanup() { "$here/scripts/printers.sh" stop --state "$work/state" >/dev/null 2>&1 || true; rm -rf "$work"; }
trap cleanup EXIT

# A printer with a 1,000-row table of three columns (index, description, counter) under the
# private arc, plus a system group for the gets.
python3 - "$work/table.snmprec" <<'EOF'
import sys
lines = ["1.3.6.1.2.1.1.1.0|4|Benchmark printer", "1.3.6.1.2.1.1.5.0|4|bench",
         "1.3.6.1.4.1.40404.9.2.0|2|1"]  # an object after the table: walks end inside the MIB
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

# Runs the two functions alternately $rounds times (so that load from elsewhere on the machine
# hits both alike) and prints the best time of each, in seconds.
race() {
  python3 - "$rounds" "$1" "$2" <<'PY'
import subprocess, sys, time
rounds, a, b = int(sys.argv[1]), sys.argv[2], sys.argv[3]
best = {a: None, b: None}
for _ in range(rounds):
    for f in (a, b):
        t = time.perf_counter()
        subprocess.run(["bash", "-c", f"source \"$BENCH_FUNCS\"; {f}"], check=True)
        s = time.perf_counter() - t
        best[f] = s if best[f] is None else min(best[f], s)
print(f"{best[a]:.3f} {best[b]:.3f}")
PY
}
gets() { for _ in $(seq 200); do "$1"; done; }
ours_gets() { gets ours_get; }
their_gets() { gets their_get; }

# The functions, for the child shells that race() starts.
export BENCH_FUNCS="$work/funcs.sh"
{
  declare -p qmsnmp port addr table work
  declare -f ours_walk their_walk ours_get their_get gets ours_gets their_gets
} > "$BENCH_FUNCS"

read -r w_ours w_theirs < <(race ours_walk their_walk)
rounds=$(( rounds < 3 ? rounds : 3 ))
read -r g_ours g_theirs < <(race ours_gets their_gets)

printf '%-34s %10s %12s %8s\n' "task (whole process each)" "qmsnmp s" "net-snmp s" "ratio"
printf '%-34s %10s %12s %8s\n' "walk of 1,000 rows x 3 columns" "$w_ours" "$w_theirs" \
  "$(python3 -c "print(f'{$w_theirs / $w_ours:.2f}')")"
printf '%-34s %10s %12s %8s\n' "200 single gets" "$g_ours" "$g_theirs" \
  "$(python3 -c "print(f'{$g_theirs / $g_ours:.2f}')")"
echo "(ratio = net-snmp time / qmsnmp time; above 1 means qmsnmp is faster)"
