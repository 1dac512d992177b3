#!/usr/bin/env bash
# Starts, stops and lists simulated printers: one snmpsim agent per printer on its own loopback
# address, each answering the read community "tarlow" and the write community "wixam".
#   scripts/printers.sh start  [options] [FILE.snmprec...]
#   scripts/printers.sh stop   [options]
#   scripts/printers.sh status [options]
# options:
#   --state DIR   where agents keep their pids, data links and caches (default /tmp/qm-printers)
#   --port N      agent port of every printer (default 161)
#   --net A.B.C   first three bytes of the loopback addresses (default 127.0.0)
#   --first N     last byte of the first printer's address (default 11)
#   --log         keep each agent's log in the state folder
# Without files, start serves every printer of support/snmpgw/printers (not its quirks/ folder).
# Printer k (from 0) of the list answers on NET.(FIRST+k):PORT. stop ends only the agents this
# state folder started.
# A file may ask for the limits of real printers' agents with comment lines (served through
# scripts/agent_limits.py in front of the snmpsim agent):
#   # agent: snmpv1-only       the printer drops SNMPv2c requests
#   # agent: max-message N     the printer answers tooBig rather than send more than N bytes
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"

usage() { awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; }

cmd="${1:-}"
[ -n "$cmd" ] || { usage >&2; exit 2; }
shift
case "$cmd" in -h|--help) usage; exit 0 ;; esac

state=/tmp/qm-printers
port=161
net=127.0.0
first=11
log=0
files=()
while [ $# -gt 0 ]; do
  case "$1" in
    --state) state="$2"; shift ;;
    --port) port="$2"; shift ;;
    --net) net="$2"; shift ;;
    --first) first="$2"; shift ;;
    --log) log=1 ;;
    -h|--help) usage; exit 0 ;;
    -*) echo "printers.sh: unknown option $1" >&2; exit 2 ;;
    *) files+=("$1") ;;
  esac
  shift
done

# Simulated printers never leave the loopback network.
[[ "$net" =~ ^127\.[0-9]{1,3}\.[0-9]{1,3}$ ]] || { echo "printers.sh: --net must be a 127.x.y loopback prefix" >&2; exit 2; }

pidfile="$state/agents"

# True when pid is alive and is an snmpsim agent serving a data folder of this state folder, or
# a relay this state folder started.
ours() {
  local pid="$1" cmdline
  [ -r "/proc/$pid/cmdline" ] || return 1
  cmdline="$(tr '\0' ' ' < "/proc/$pid/cmdline")"
  [[ ( "$cmdline" == *snmpsimd* && "$cmdline" == *"--data-dir=$state/"* ) ||
     ( "$cmdline" == *agent_limits.py* && "$cmdline" == *"--owner $state/ "* ) ]]
}

# SNMPv1-only printers do not answer the v2c question.
answers() {
  snmpget -v2c -c tarlow -t 1 -r 0 -On "$1" 1.3.6.1.2.1.1.2.0 >/dev/null 2>&1 ||
    snmpget -v1 -c tarlow -t 1 -r 0 -On "$1" 1.3.6.1.2.1.1.2.0 >/dev/null 2>&1
}

# The relay options a data file asks for with "# agent: ..." lines.
limits() {
  awk '/^# agent: snmpv1-only[[:space:]]*$/ { printf " --v1-only" }
       /^# agent: max-message [0-9]+[[:space:]]*$/ { printf " --max-message %d", $4 }' "$1"
}

# A UDP port that was free on the address a moment ago.
free_port() {
  python3 -c 'import socket,sys; s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); s.bind((sys.argv[1],0)); print(s.getsockname()[1])' "$1"
}

status() {
  [ -f "$pidfile" ] || { echo "no printers started from $state"; return 1; }
  local rc=0 pid endpoint name
  while read -r pid endpoint name; do
    if ours "$pid"; then
      if answers "$endpoint"; then echo "$name $endpoint running (pid $pid)";
      else echo "$name $endpoint starting (pid $pid)"; rc=1; fi
    else
      echo "$name $endpoint stopped"; rc=1
    fi
  done < "$pidfile"
  return $rc
}

stop() {
  [ -f "$pidfile" ] || return 0
  local pid endpoint name pids=()
  while read -r pid endpoint name; do
    if ours "$pid"; then kill "$pid" 2>/dev/null || true; pids+=("$pid"); fi
  done < "$pidfile"
  for _ in $(seq 50); do
    local alive=0
    for pid in "${pids[@]}"; do ours "$pid" && alive=1; done
    [ $alive -eq 0 ] && break
    sleep 0.1
  done
  for pid in "${pids[@]}"; do if ours "$pid"; then kill -9 "$pid" 2>/dev/null || true; fi; done
  rm -f "$pidfile"
}

start() {
  command -v snmpsimd >/dev/null || { echo "printers.sh: snmpsimd not found (install Debian snmpsim)" >&2; exit 3; }
  if [ ${#files[@]} -eq 0 ]; then
    mapfile -t files < <(ls "$here"/support/snmpgw/printers/*.snmprec)
  fi
  stop
  mkdir -p "$state/cache"
  chmod 755 "$state"
  local user=() owner
  if [ "$(id -u)" -eq 0 ]; then
    # snmpsim refuses to run as root; it binds its sockets first and then drops to this user.
    owner=nobody; getent group nogroup >/dev/null && group=nogroup || group=nobody
    user=(--process-user=nobody --process-group="$group")
    chown "$owner" "$state/cache"
  fi
  : > "$pidfile"
  local k=0 f name dir endpoint logging relay agent
  for f in "${files[@]}"; do
    f="$(cd "$(dirname "$f")" && pwd)/$(basename "$f")"
    name="$(basename "$f" .snmprec)"
    dir="$state/$name"
    mkdir -p "$dir"
    chmod 755 "$dir"
    # One data file per community: both names lead to the same printer, and the writecache
    # variation keeps sets in the agent process, so a set through "wixam" shows through "tarlow".
    ln -sfn "$f" "$dir/tarlow.snmprec"
    ln -sfn "$f" "$dir/wixam.snmprec"
    endpoint="$net.$((first + k)):$port"
    logging=null
    if [ $log -eq 1 ]; then
      : > "$state/$name.log"; [ ${#user[@]} -gt 0 ] && chown "$owner" "$state/$name.log"
      logging="file:$state/$name.log"
    fi
    relay="$(limits "$f")"
    agent="$endpoint"
    # With limits the agent answers on a free port of the same address, behind the relay.
    [ -n "$relay" ] && agent="$net.$((first + k)):$(free_port "$net.$((first + k))")"
    setsid snmpsimd --data-dir="$dir/" --agent-udpv4-endpoint="$agent" --cache-dir="$state/cache" \
      --logging-method="$logging" "${user[@]}" </dev/null >/dev/null 2>&1 &
    echo "$! $agent $name" >> "$pidfile"
    if [ -n "$relay" ]; then
      # shellcheck disable=SC2086  # $relay is a list of options
      setsid python3 "$here/scripts/agent_limits.py" --listen "$endpoint" --agent "$agent" $relay \
        --owner "$state/" </dev/null >/dev/null 2>&1 &
      echo "$! $endpoint $name-limits" >> "$pidfile"
    fi
    k=$((k + 1))
  done
  # Agents take a few seconds to index their data; wait until every one answers.
  local pid ready
  for _ in $(seq 120); do
    ready=1
    while read -r pid endpoint name; do
      if ! ours "$pid"; then echo "printers.sh: agent for $name on $endpoint did not start" >&2; stop; exit 1; fi
      answers "$endpoint" || { ready=0; break; }
    done < "$pidfile"
    [ $ready -eq 1 ] && break
    sleep 0.5
  done
  if [ $ready -ne 1 ]; then echo "printers.sh: printers did not answer in time" >&2; stop; exit 1; fi
  status
}

case "$cmd" in
  start) start ;;
  stop) stop ;;
  status) status ;;
  *) usage >&2; exit 2 ;;
esac
