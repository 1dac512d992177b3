#!/usr/bin/env bash
# The monitor watching a fleet of simulated printers, measured in one run:
#   1. its memory (VmRSS, VmHWM) once the polling list is built and then every 30 s of polling;
#   2. how far it keeps its schedule: scheduled polls per minute, the time a whole round of the
#      fleet takes against the printers' 60 s alert interval, and how late the polls start;
#   3. the peer: the same SNMP reads (six table walks per printer) made back to back by
#      net-snmp's snmpbulkwalk against the same agents, i.e. what the polls themselves cost.
# Printers are snmpsim agents on 127.1.x.y (one agent process serves --per-agent addresses) with
# the data of support/snmpgw/printers/1-mono-laser.snmprec, watched with `qmntf watch`.
#   bench/monitor_fleet.sh [--build DIR] [--printers N] [--minutes M] [--per-agent K]
# Defaults: build/normal, 1000 printers, 10 minutes, 250 addresses per agent.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$here/build/normal"
printers=1000
minutes=10
per_agent=250
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build="$2"; shift ;;
    --printers) printers="$2"; shift ;;
    --minutes) minutes="$2"; shift ;;
    --per-agent) per_agent="$2"; shift ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "monitor_fleet.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done
bin="$build/bin"
for p in Qmonmgr qmonctl qmntf qmreg; do
  [ -x "$bin/$p" ] || { echo "monitor_fleet.sh: $bin/$p missing (build it first)" >&2; exit 2; }
done
for p in snmpsimd snmpget snmpbulkwalk; do
  command -v "$p" >/dev/null || { echo "monitor_fleet.sh: $p not installed (scripts/setup.sh)" >&2; exit 2; }
done
[ "$printers" -ge 1 ] && [ "$printers" -le 62500 ] || { echo "monitor_fleet.sh: --printers 1..62500" >&2; exit 2; }

root=$(mktemp -d /tmp/qmfleet.XXXXXX)
chmod 755 "$root"
export QM_ROOT="$root"
mkdir -p "$root"/{bin,conf,ntf/log,run,log,data,cache}
agents=()
monitor=""
cleanup() {
  [ -n "$monitor" ] && kill "$monitor" 2>/dev/null || true
  for p in "${agents[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT

# Printer k answers on 127.1.(k / 250).(k % 250 + 1); every address of 127/8 is local.
address() { echo "127.1.$(( $1 / 250 )).$(( $1 % 250 + 1 ))"; }
port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); s.bind(("127.1.0.1",0)); print(s.getsockname()[1])')
cp "$here/support/snmpgw/printers/1-mono-laser.snmprec" "$root/data/tarlow.snmprec"
chmod 644 "$root/data/tarlow.snmprec"
user=()
if [ "$(id -u)" -eq 0 ]; then
  # snmpsim refuses to run as root; it binds its sockets first and then drops to this user.
  getent group nogroup >/dev/null && group=nogroup || group=nobody
  user=(--process-user=nobody --process-group="$group")
  chown nobody "$root/cache"
fi

echo "== $printers printers on $(address 0) .. $(address $((printers - 1))) port $port, $per_agent per agent =="
for ((first = 0; first < printers; first += per_agent)); do
  endpoints=()
  for ((k = first; k < first + per_agent && k < printers; k++)); do
    endpoints+=(--agent-udpv4-endpoint="$(address "$k"):$port")
  done
  setsid snmpsimd --data-dir="$root/data/" --cache-dir="$root/cache" --logging-method=null "${user[@]}" \
    "${endpoints[@]}" </dev/null >/dev/null 2>&1 &
  agents+=($!)
done
answers() { snmpget -v2c -c tarlow -t 1 -r 0 "$1:$port" 1.3.6.1.2.1.1.2.0 >/dev/null 2>&1; }
for ((first = 0; first < printers; first += per_agent)); do
  last=$(( first + per_agent - 1 < printers - 1 ? first + per_agent - 1 : printers - 1 ))
  for _ in $(seq 240); do
    answers "$(address "$first")" && answers "$(address "$last")" && break
    sleep 0.5
  done
  answers "$(address "$last")" || { echo "monitor_fleet.sh: agent for $(address "$first") did not come up" >&2; exit 1; }
done
agents_kb=0
for p in "${agents[@]}"; do agents_kb=$(( agents_kb + $(awk '/VmRSS/ {print $2}' "/proc/$p/status") )); done
echo "agents: ${#agents[@]} processes, ${agents_kb} kB resident together"

setup='HKLM\SOFTWARE\OvrelNet\OvrelNetQuinsward\Setup'
"$bin/qmreg" setnum "$setup" SnmpPort "$port" >/dev/null
"$bin/qmreg" setnum 'HKLM\SOFTWARE\OvrelNet\OvrelNetQuinsward\Notification_Service\QMONMGR' TrapPort \
  "$(python3 -c 'import socket; s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')" >/dev/null

keys=()
for ((k = 0; k < printers; k++)); do keys+=("10;$(address "$k");;00005E$(printf '%06X' "$k");1"); done
t0=$(date +%s.%N)
"$bin/qmntf" watch "${keys[@]}" >"$root/handles" 2>"$root/log/qmntf.err"
t1=$(date +%s.%N)
printf 'qmntf watch of %d printers: %.1f s\n' "$printers" "$(echo "$t1 - $t0" | bc)"

trace="$root/log/qbtrace.log"
(cd "$root/bin" && QM_TRACE=0x8880 exec "$bin/Qmonmgr") &
monitor=$!
started=$(date +%s.%N)
for _ in $(seq 1200); do
  grep -q "QMONMGR: polling list of" "$trace" 2>/dev/null && break
  sleep 0.1
done
grep -o "QMONMGR: polling list of [0-9]* printers" "$trace" | head -1 || { echo "monitor_fleet.sh: no polling list" >&2; exit 1; }
rss() { awk '/^VmRSS/ {r=$2} /^VmHWM/ {h=$2} END {printf "VmRSS %d kB, VmHWM %d kB", r, h}' "/proc/$monitor/status"; }
printf 'after start-up (list built %.1f s after start): %s\n' "$(echo "$(date +%s.%N) - $started" | bc)" "$(rss)"

end=$(( $(date +%s) + minutes * 60 ))
while [ "$(date +%s)" -lt "$end" ]; do
  sleep 30
  polls=$(grep -c "QMONMGR: poll of" "$trace" || true)
  printf '%4d s: %5d polls, %s, %s %% CPU so far\n' "$(( $(date +%s) - ${started%.*} ))" "$polls" "$(rss)" \
    "$(ps -o %cpu= -p "$monitor" | tr -d ' ')"
done
"$bin/qmonctl" stop >/dev/null || true
wait "$monitor" 2>/dev/null || true
monitor=""

# What the polls recorded (log entries of the supplies and counters kinds among them): proof that
# the polls read the printers rather than failing fast.
python3 - "$root/ntf" <<'PY'
import glob, sqlite3, sys
total = 0
for f in glob.glob(sys.argv[1] + "/ntclog*.dat"):
    db = sqlite3.connect(f"file:{f}?mode=ro", uri=True)
    for (t,) in db.execute("select name from sqlite_master where type='table'"):
        total += db.execute(f'select count(*) from "{t}"').fetchone()[0]
print(f"log entries recorded: {total}")
PY
errors=$(grep -c "QMONMGR.*\(fail\|cannot\|error\)" "$trace" || true)
echo "monitor error lines in the trace: $errors"

# The schedule, from the trace's poll lines ("YYYY/MM/DD HH:MM:SS.mmm ... poll of IP (alert log 1, ...").
python3 - "$trace" "$printers" <<'PY'
import re, statistics, sys
from datetime import datetime
trace, n = sys.argv[1], int(sys.argv[2])
line = re.compile(r'^(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3}) .*QMONMGR: (polling list of|poll of) (\S+)')
listed, polls = None, []
for text in open(trace, errors='replace'):
    m = line.match(text)
    if not m: continue
    t = datetime.strptime(m.group(1), '%Y/%m/%d %H:%M:%S.%f').timestamp()
    if m.group(2) == 'polling list of':
        listed = listed or t
    else:
        polls.append((t, m.group(3)))
if not polls or listed is None:
    sys.exit("no polls traced")
gaps = [b[0] - a[0] for a, b in zip(polls, polls[1:])]
per = statistics.mean(gaps) if gaps else float('nan')
seen, repeat = {}, []
for t, ip in polls:
    if ip in seen: repeat.append(t - seen[ip])
    seen[ip] = t
first_round_lateness = [t - listed for t, ip in polls[:len(seen)]]
print(f"scheduled polls: {len(polls)} of {len(seen)} printers in {polls[-1][0] - listed:.0f} s; "
      f"one poll every {per:.2f} s ({60 / per:.1f} per minute)")
if len(seen) == n:
    print(f"first round of all {n} printers done {max(first_round_lateness):.0f} s after the list was built")
else:
    print(f"first round not finished: {len(seen)} of {n} printers; at this pace it takes {n * per:.0f} s")
if n * per > 60:
    print(f"every printer is due every 60 s (alert log); a round takes about {n * per:.0f} s, "
          f"so a poll starts up to {n * per - 60:.0f} s late")
else:
    print(f"a round takes about {n * per:.0f} s: every printer is polled on time (due every 60 s)")
if repeat:
    print(f"printers polled again: {len(repeat)}, median {statistics.median(repeat):.0f} s after their previous poll")
PY

# The peer: the six table walks of a first poll, back to back, for the first printers.
sample=$(( printers < 50 ? printers : 50 ))
t0=$(date +%s.%N)
for ((k = 0; k < sample; k++)); do
  for oid in 1.3.6.1.2.1.43.18 1.3.6.1.2.1.43.11.1.1.5 1.3.6.1.2.1.43.11.1.1.8 1.3.6.1.2.1.43.11.1.1.9 \
             1.3.6.1.2.1.43.10.2 1.3.6.1.2.1.43.18; do
    snmpbulkwalk -v2c -c tarlow -Cr25 "$(address "$k"):$port" "$oid" >/dev/null
  done
done
t1=$(date +%s.%N)
python3 -c "
import sys
s, n, took = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
print(f'peer: snmpbulkwalk, six walks per printer back to back: {took / s * 1000:.0f} ms per printer, '
      f'{took / s * n:.0f} s for all {n}')" "$sample" "$printers" "$(echo "$t1 - $t0" | bc)"
